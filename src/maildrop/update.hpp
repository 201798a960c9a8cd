// Writing the maildrop back at QUIT, and clean-up on every ending.
#pragma once

namespace tollmar::maildrop {

// Rewrites the maildrop to its kept messages (the bytes the scan copied into
// their spool files, taken from the maildrop once found unchanged), followed by
// whatever was appended to it since the scan. Failure-safe: on any failure the
// maildrop keeps every message; failures are logged at LOG_ERR. It writes
// only while this process still holds the maildrop's dot-lock and the scanned
// bytes are unchanged. True when every message marked deleted is gone (also
// when none is), false when they are all still there or the rewrite stopped
// half way (its journal then completes it in the next session).
bool update_maildrop(const char* path);

// Lets go of the journal the rewrite removed. Freeing a large file's blocks
// is slow, so the session calls this once the lock is gone and the client
// has its answer; the process's exit does it as well.
void release_removed_journal();

// Unlinks the spool file of every entry; the table is unchanged.
void remove_spool_files();

// Spool files, table, dot-lock and the session's spool folder; a second run
// removes nothing.
void cleanup_at_exit();

// Removes the dot-lock, logs "caught signal: 13" and exits with status 1.
// Runs in normal context, after the SIGPIPE handler recorded the signal.
[[noreturn]] void on_broken_pipe(int sig);

}  // namespace tollmar::maildrop
