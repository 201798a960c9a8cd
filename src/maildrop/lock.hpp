// The dot-lock "<maildrop>.lock" and the advisory stream lock (lockf).
#pragma once
#include <sys/types.h>

namespace tollmar::maildrop {

// Removes a lock older than 600 seconds once, then makes five exclusive
// creation attempts one second apart. The lock holds the process ID as bare
// digits and is handed to uid and gid. True when taken (else errno tells why).
bool lock_maildrop(const char* path, uid_t uid, gid_t gid);

// Removes the lock file, whatever it holds.
void unlock_maildrop(const char* path);

// Renews the lock's status-change time so that the stale rule never takes the
// lock of a live session. Touches the file only while it still names this
// process; cheap enough to call often (it acts at most once a minute).
void refresh_maildrop_lock(const char* path);

// lockf(F_LOCK) / lockf(F_ULOCK) over the whole file; true on success.
bool lock_stream(int fd);
bool unlock_stream(int fd);

}  // namespace tollmar::maildrop
