// The dot-lock "<maildrop>.lock" and the advisory stream lock (lockf).
//
// Ownership is by identity, not by name: the lock is made as a unique file
// beside the maildrop and hard-linked to the lock name (which is atomic also
// on NFS, where O_EXCL is not), and the session remembers the device and
// inode of the file it linked. It removes or renews only that very file, and
// only while it still holds this process's ID.
#pragma once
#include <sys/types.h>

namespace tollmar::maildrop {

// Tries to take the lock for about five seconds, with pauses that start at
// 10 ms and double up to one second (the last cut to make five seconds). A
// lock whose status-change time is more than 600 seconds old, or one made on
// this host (same boot, same process ID space) by a process that no longer
// exists, is taken over, but only if it is still the very file judged stale.
// The lock holds the process ID as bare digits and is handed to uid and gid.
// True when taken (else errno tells why).
bool lock_maildrop(const char* path, uid_t uid, gid_t gid);

// Removes the lock only while it is still the file this process took and
// still holds this process's ID; another session's lock is never touched.
void unlock_maildrop(const char* path);

// True while the lock of path is the file this process took and holds this
// process's ID (the update checks it under the stream lock).
bool holds_maildrop_lock(const char* path);

// Renews the lock's status-change time so that the stale rule never takes the
// lock of a live session. Touches the file only while it is still ours;
// cheap enough to call often (it acts at most once a minute).
void refresh_maildrop_lock(const char* path);

// Removes what lock takers left beside the maildrop when they died or lost
// their lock to a third party (an agent's or an administrator's stale-lock
// removal): second names no lock links to any more, and names a stale lock
// was moved to for its removal. Such files go once untouched for over a
// minute, or at once when a second name was made on this host (same origin)
// by a process that no longer exists: a contender's file is never taken from
// under it, since a contender is alive.
void sweep_lock_leftovers(const char* path);

// lockf(F_LOCK) / lockf(F_ULOCK) over the whole file; true on success.
bool lock_stream(int fd);
bool unlock_stream(int fd);

}  // namespace tollmar::maildrop
