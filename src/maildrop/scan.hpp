// The scan of the mbox maildrop into one spool file per message.
#pragma once

namespace tollmar::maildrop {

// Completes an interrupted update if one is journaled, then copies every
// message into its own spool file in spool_folder and fills `messages`. True
// on success (possibly no messages), false on failure.
bool scan_maildrop(const char* path, const char* spool_folder);

// Loads the crypto library's configuration and the scan's digest once, in
// the listener, so that every session process inherits them ready rather
// than reading and setting them up again at each login. Sessions work
// without it, only slower.
void prepare_scan();

}  // namespace tollmar::maildrop
