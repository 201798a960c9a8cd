// Writing the maildrop back at QUIT.
#pragma once
#include "maildrop/message_table.hpp"

namespace tollmar::maildrop {

// Rewrites the maildrop to the kept messages of `messages` (the bytes the scan copied into
// their spool files, taken from the maildrop once found unchanged), followed by
// whatever was appended to it since the scan. Failure-safe: on any failure the
// maildrop keeps every message; failures are logged at LOG_ERR. It writes
// only while this process still holds the maildrop's dot-lock and the scanned
// bytes are unchanged. True when every message marked deleted is gone (also
// when none is), false when they are all still there or the rewrite stopped
// half way (its journal then completes it in the next session).
bool update_maildrop(message_table& messages, const char* path);

// Lets go of the journal the rewrite removed. Freeing a large file's blocks
// is slow, so the session calls this once the lock is gone and the client
// has its answer; the process's exit does it as well.
void release_removed_journal();

}  // namespace tollmar::maildrop
