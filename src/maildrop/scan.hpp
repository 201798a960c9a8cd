// The scan of the mbox maildrop into one spool file per message.
#pragma once

namespace tollmar::maildrop {

// Completes an interrupted update if one is journaled, then copies every
// message into its own spool file and fills `messages`. 1 on success (possibly
// no messages), 0 on failure.
int scan_maildrop(const char* path);

}  // namespace tollmar::maildrop
