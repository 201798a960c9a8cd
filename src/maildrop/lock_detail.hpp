// Lock operations that only the maildrop code itself and its tests use.
#pragma once

namespace tollmar::maildrop::detail {

// refresh_maildrop_lock with the once-a-minute limit optionally waived.
void refresh_lock(const char* path, bool force);

// Forgets when the lock was last renewed (tests; a new lock renews it anyway).
void forget_lock_refresh();

// lock_stream for the rewrite: retries on EINTR without acting on recorded
// signals, because a rewrite once begun must be finished first.
bool lock_stream_uninterrupted(int fd);

}  // namespace tollmar::maildrop::detail
