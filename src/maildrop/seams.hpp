// Points where tests replace the clock, the pauses, the low-level reads and
// the process's fate. Production code leaves
// every pointer at its default; nothing outside the maildrop code and its
// tests includes this header.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>

namespace tollmar::maildrop::detail {

// The wall clock behind the stale rule and the refresh interval (time(nullptr)).
extern std::time_t (*clock_now)();

// The pause of `milliseconds` after a failed lock attempt (nanosleep).
extern void (*lock_pause)(int milliseconds);

// read(2) and pread(2) as used for the maildrop and the spool files.
extern ssize_t (*read_call)(int fd, void* buf, size_t count);
extern ssize_t (*pread_call)(int fd, void* buf, size_t count, off_t offset);

// write(2) as used by write_all (the spool files, the dot-lock's pid).
extern ssize_t (*write_call)(int fd, const void* buf, size_t count);

// copy_file_range(2) as used for copying mail between files.
extern ssize_t (*copy_range_call)(int fd_in, off_t* off_in, int fd_out, off_t* off_out,
                                  size_t length, unsigned int flags);

// lstat(2) as used to read back the dot-lock's link count.
extern int (*lstat_call)(const char* path, struct stat* st);

// lockf(3) as used for the stream lock.
extern int (*lockf_call)(int fd, int cmd, off_t length);

// Called once a lock judged for removal has been moved aside, before it is
// removed or put back (nullptr: no hook).
extern void (*on_lock_moved_aside)();

// Steps of the rewrite at which a test may end the process.
enum class update_step {
    journal_written,     // temporary journal complete and on disk, not yet renamed
    journal_committed,   // journal renamed into place and the folder synced
    maildrop_block,      // after each block written in place into the maildrop
    maildrop_rewritten,  // new content on disk, maildrop not yet cut to length
    maildrop_truncated,  // maildrop cut to length and synced, journal still there
    journal_removed,     // journal unlinked and the folder synced
};
extern void (*on_update_step)(update_step step);  // nullptr: no hook
void step_reached(update_step step);              // calls the hook, if any

// Restores every default above, and util::log_observer (tests call it between
// cases).
void reset_seams();

}  // namespace tollmar::maildrop::detail
