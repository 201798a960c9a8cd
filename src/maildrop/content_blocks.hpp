// Digests of the scanned part of a maildrop served in place, one per block of
// guard_block bytes from offset 0, so that the check before a rewrite does
// not need the whole part digested in one run. A login that takes the table
// from the index and reads only what was appended since keeps the digests of
// the blocks before the appended bytes and recomputes only the last one.
//
// As with the single digest of the spool mode (content_digest.hpp) the
// update digests the whole scanned part again and compares before any
// rewrite: a block digest guards exactly as much as one digest of all bytes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "maildrop/content_digest.hpp"

namespace tollmar::maildrop::detail {

constexpr std::int64_t guard_block = 1 << 20;

using block_digest = unsigned char[content_digest_size];

// Forgets every block and starts the running one at offset 0.
void blocks_begin();

// Appends n finished digests (read from an index); false when memory runs out.
bool blocks_append(const block_digest* more, std::int64_t n);

// Keeps the first `kept` digests (the blocks before offset kept *
// guard_block) and starts the running block there; the bytes from there on
// are added next.
void blocks_resume(std::int64_t kept);

// Sees the next bytes of the maildrop, in order (a chunk observer).
void blocks_add(const char* data, std::size_t length);

// Closes the last block; true when every byte up to `length` was digested.
bool blocks_finish(std::int64_t length);

// The digests, one per started block of the finished part.
const block_digest* block_digests();
std::int64_t block_count();

// The digests of fd[0, length) into the running set (blocks_begin first);
// false when reading failed.
bool blocks_of_range(int fd, std::int64_t length);

// Whether fd[0, length) still has the digests the scan took; false when it
// differs or could not be read (errno set then).
bool blocks_match(int fd, std::int64_t length);

// The digest of fd[from, to) into out, for checking one block.
bool digest_span(int fd, std::int64_t from, std::int64_t to, unsigned char* out);

}  // namespace tollmar::maildrop::detail
