// The index that lets a login of a maildrop served in place read only what
// was appended since the last session (the file format is in index_file.hpp).
//
// The index is trusted only as far as it can be checked against the
// maildrop: its identity (device, inode, change time, length) must still be
// the maildrop's, or the maildrop must only have grown, its last indexed
// block unchanged and a message starting where the index ends. Anything else
// (a damaged, cut or foreign index, a maildrop rewritten by another program)
// is logged and the maildrop is scanned whole. Whatever the index says, a
// rewrite at QUIT still compares the digests of every block with the
// maildrop first, and each message is checked to start where its offset says
// before it is sent.
#pragma once
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "maildrop/message_table.hpp"

namespace tollmar::maildrop {

// The end of a session that leaves the maildrop as it was (no rewrite):
// writes the index unless the table came from it unchanged. Only while this
// process holds the dot-lock.
void write_index_at_end(message_table& messages, const char* path);

// Before the session becomes the account uid, with the identity that takes
// the dot-lock (root in the mail spool, the account in a folder of its own):
// in a sticky folder, a file of another user under the index's name, which
// the account could neither replace nor remove, is renamed to
// "<index>.foreign-<8 hex digits>" (kept as evidence) and logged, so that the
// session can write its index. In any other folder the session replaces such
// a file as it writes the index.
void set_aside_foreign_index(const char* path, uid_t uid);

}  // namespace tollmar::maildrop

namespace tollmar::maildrop::detail {

// For the open, stream-locked maildrop as it is now (`now`): fills the table
// (in_place), the block digests and the unique-id claims from the index
// where it still describes the maildrop, and returns the offset from which
// the maildrop is still to be scanned; 0 with an empty table when it is to be
// scanned whole. -1 only when memory runs out.
std::int64_t index_load(message_table& messages, int fd, const char* path, const struct stat& now);

// The table is complete: `scanned` bytes of the maildrop whose identity was
// `now`, of which the first `base` came from the index.
void index_note_scan(message_table& messages, const struct stat& now, std::int64_t base,
                     std::int64_t scanned);

// After the rewrite at QUIT, with the maildrop still stream-locked: drops
// the deleted entries, places the rest at their new offsets and writes the
// index of what the maildrop now holds.
void index_after_rewrite(message_table& messages, int fd, const char* path);

}  // namespace tollmar::maildrop::detail
