// The scan of the mbox maildrop into one spool file per message.
#pragma once
#include "maildrop/message_table.hpp"

namespace tollmar::maildrop {

// Completes an interrupted update if one is journaled, then copies every
// message into its own spool file in spool_folder and fills `messages`. True
// on success (possibly no messages), false on failure.
bool scan_maildrop(message_table& messages, const char* path, const char* spool_folder);

// The same table without spool files: each entry records where its message
// starts in the maildrop, which stays open for reading them
// (served_maildrop.hpp). The table comes from the index beside the maildrop
// where that still describes it (index.hpp), so only what was appended since
// is read.
bool scan_maildrop_in_place(message_table& messages, const char* path);

}  // namespace tollmar::maildrop
