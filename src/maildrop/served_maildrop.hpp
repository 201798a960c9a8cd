// The maildrop a table served in place reads its messages from.
#pragma once
#include <cstdint>

#include "maildrop/message_table.hpp"

namespace tollmar::maildrop {

// The open maildrop of an in-place table, or -1.
int served_maildrop(const message_table& messages);

// Whether the message of `entry` is still where the scan found it: the
// session still holds the dot-lock, and the message is within the file,
// after a line end (or at its start), begins "From " and, where its id is
// that of its first bytes, still has them. A maildrop cut short or rewritten
// behind the session's back fails this, and is logged ("failed to read
// maildrop" with path), rather than served from wherever the offset now
// points.
bool message_in_place(const message_table& messages, const char* path, const message_entry& entry);

// Logs a failed read of the served maildrop ("failed to read maildrop").
void log_served_read_failure(const char* path, int error);

// Closes the maildrop (at the end of the session).
void close_served_maildrop(message_table& messages);

namespace detail {

void keep_served_maildrop(message_table& messages, int fd);

// Whether every message of `messages` marked deleted starts and ends (at the start of the
// next or at `scanned`) where a message starts in fd: the rewrite cuts
// exactly there, so a table from a forged index must not move those cuts.
bool deletions_fall_on_messages(const message_table& messages, int fd, std::int64_t scanned);

}  // namespace detail

}  // namespace tollmar::maildrop
