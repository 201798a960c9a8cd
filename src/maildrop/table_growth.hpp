// Adding entries to the process-wide message table.
#pragma once
#include "maildrop/message_table.hpp"

namespace tollmar::maildrop::detail {

// Makes room for one more entry (the storage grows geometrically, so a
// maildrop of a million messages is not copied a million times), zero-fills
// it with an empty spool_path and only then counts it. nullptr when the
// storage cannot grow; the table then keeps its earlier entries and count.
message_entry* append_entry();

// A writable copy of name (NUL included) in the table's name store, which
// lives until release_message_table and never moves; nullptr when no memory
// is left.
char* keep_spool_name(const char* name);

}  // namespace tollmar::maildrop::detail
