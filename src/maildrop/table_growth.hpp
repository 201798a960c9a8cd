// Adding entries to the process-wide message table.
#pragma once
#include "maildrop/message_table.hpp"

namespace tollmar::maildrop::detail {

// Makes room for one more entry (the storage grows geometrically, so a
// maildrop of a million messages is not copied a million times), zero-fills
// it and only then counts it. nullptr when the storage cannot grow; the table
// then keeps its earlier entries and count.
message_entry* append_entry();

}  // namespace tollmar::maildrop::detail
