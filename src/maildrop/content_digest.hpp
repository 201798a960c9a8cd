// A digest of the maildrop bytes that the scan copied, so that the update can
// tell whether they are still exactly what the spool files hold.
//
// It guards against accidents (another program rewriting the maildrop behind
// a session's back), not against someone who can already write the file, so
// a fast non-cryptographic 128-bit hash (XXH3) serves: the update digests the
// whole scanned part again before every rewrite, and on a large maildrop a
// cryptographic digest would cost more than the rewrite itself.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace tollmar::maildrop::detail {

constexpr std::size_t content_digest_size = 16;  // XXH3, 128 bits

// One running digest at a time (the scan's).
void digest_begin();
void digest_add(const char* data, std::size_t length);
// Finishes the running digest into out (content_digest_size bytes, the
// canonical big-endian form); false when the digest could not be kept.
bool digest_finish(unsigned char* out);

// The digest of fd[0, length) into out. False when reading failed or the file
// ended early (errno set).
bool digest_range(int fd, std::int64_t length, unsigned char* out);

}  // namespace tollmar::maildrop::detail
