// The scan of the mbox maildrop into one spool file per message.
#pragma once

namespace tollmar::maildrop {

// Completes an interrupted update if one is journaled, then copies every
// message into its own spool file in spool_folder and fills `messages`. True
// on success (possibly no messages), false on failure.
bool scan_maildrop(const char* path, const char* spool_folder);

}  // namespace tollmar::maildrop
