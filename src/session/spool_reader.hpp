// Opening a message's spool file for RETR and TOP.
#pragma once

namespace tollmar::session {

// Opens the spool file for reading at its start, creating it empty when it has
// gone missing so that the end-of-session clean-up still finds a file to
// remove. Symbolic links, files that are not regular and files of another user
// are refused. On failure logs "Failed to open tmp file `%s': %s" and returns
// -1; otherwise the descriptor, which the caller closes.
int spool_open(const char* path);

// Logs "Failed to read tmp file `%s': %s" for a read of path that failed
// with error.
void log_spool_read_failure(const char* path, int error);

}  // namespace tollmar::session
