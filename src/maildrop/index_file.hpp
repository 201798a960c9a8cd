// The index of a maildrop served in place: "<maildrop>.tollmar-index".
//
// In the project's one encoding (util/codec.hpp: numbers little-endian):
//   header   "TLMRIX01", device, inode (u64), change time seconds and
//            nanoseconds, maildrop length, indexed length (i64), flags,
//            0 (u32), message count, block count (i64)          80 bytes
//   records  offset, length, size (i64), occurrence (u32), digest (16 bytes)
//            per message, in maildrop order                     44 bytes each
//   blocks   the content digest of each guard block of the indexed part
//   check    XXH3-128 of everything before it                   16 bytes
//   padding  zero bytes up to the padded size (index_padded_size)
//
// The index lies beside the maildrop, where other users may list the folder:
// padded, its size (and its blocks: the padding is written, not a hole)
// tells them nothing of the message count below 1400 or so messages, and
// only its power of two above.
//
// The identity (device, inode, change time, length) is the maildrop's when
// the table was made; the device is recorded, not compared (it differs from
// one client mount of a shared file system to the next). The records
// describe its first `indexed` bytes, which may be fewer when mail was
// appended meanwhile.
#pragma once
#include <sys/types.h>

#include <cstdint>

#include "maildrop/message_table.hpp"

namespace tollmar::maildrop::detail {

constexpr const char* index_suffix = ".tollmar-index";
// The fixed temporary name of earlier versions, whose leftovers of ours are
// still removed; the temporary file now has a unique name.
constexpr const char* index_old_temp_suffix = ".tollmar-index.tmp";

// The size an index of `size` bytes is padded to: 64 KiB, or the power of
// two at or above it.
std::uint64_t index_padded_size(std::uint64_t size);

// Reads an index from fd (at its start) into `messages` (emptied first,
// marked in_place) and the block digests (content_blocks.hpp). On
// success the records are contiguous from offset 0 to `indexed`, every size
// and occurrence is plausible, and the check value matches. Otherwise false
// with *why set, the table emptied.
bool read_index(message_table& messages, int fd, index_identity& identity, const char** why);

// Writes `messages` and the block digests with `identity` to fd. False
// (errno) on a failed write.
bool write_index(const message_table& messages, int fd, const index_identity& identity);

}  // namespace tollmar::maildrop::detail
