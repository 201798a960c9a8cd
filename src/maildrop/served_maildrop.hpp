// The maildrop a table served in place reads its messages from.
#pragma once
#include <cstdint>

#include "maildrop/message_table.hpp"

namespace tollmar::maildrop {

// The open maildrop of an in-place table, or -1.
int served_maildrop();

// Whether the message of `entry` is still where the scan found it: within
// the file, after a line end (or at its start) and beginning "From ". A
// maildrop cut short or rewritten behind the session's back fails this, and
// is logged ("failed to read maildrop"), rather than served from wherever
// the offset now points.
bool message_in_place(const message_entry& entry);

// Closes the maildrop (at the end of the session).
void close_served_maildrop();

namespace detail {
void keep_served_maildrop(int fd);
}

}  // namespace tollmar::maildrop
