// Adding entries to a message table.
#pragma once
#include "maildrop/message_table.hpp"

namespace tollmar::maildrop::detail {

// Makes room for one more entry (the storage grows geometrically, so a
// maildrop of a million messages is not copied a million times), zero-fills
// it with an empty spool_name and only then counts it. nullptr when the
// storage cannot grow; the table then keeps its earlier entries and count.
// Once the storage is large, glibc maps it on its own and grows it by
// remapping: the entries are not copied, and the room ahead of them stays
// address space, not resident memory, until entries fill it.
message_entry* append_entry(message_table& messages);

// Makes messages.spool_prefix "<spool_folder>/.tollmar_<pid>_<origin tag>_"
// for an empty table. One that does not fit is kept cut short, so that it
// leaves no room for a name and no spool file is ever made or named with it.
void set_spool_prefix(message_table& messages, const char* spool_folder);

// Gives an entry with no file the name of the one just made: `name` is the
// tail that follows the prefix (at most 7 characters). Its first byte goes in
// last, so clean-up finds either no name or the whole of it.
void set_spool_name(message_entry& entry, const char* name);

}  // namespace tollmar::maildrop::detail
