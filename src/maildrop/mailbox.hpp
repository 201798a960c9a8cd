// The session's open maildrop as one object: its path, its dot-lock and its
// table of messages, and the few operations a session needs of it. The session opens it (names,
// locks and scans it), reads its messages, and ends it in one of two ways: at QUIT finish_mailbox
// writes the deletions back, then close_mailbox lets go of everything; at any other ending (end of
// input, a time-out, a signal, a failure) close_mailbox alone abandons it, the maildrop left as it
// was.
//
// exit() does not unwind the stack, so the at-exit hook reaches the mailbox
// through one process-wide handle, which the session sets once it has one
// to clean up (hold_for_exit).
#pragma once
#include <sys/types.h>

#include <climits>
#include <cstdint>

#include "maildrop/message_table.hpp"

namespace tollmar::maildrop {

struct mailbox {
    char path[PATH_MAX + 1];  // the resolved maildrop; "" until named
    bool locked;              // the dot-lock was taken and is not yet given up
    bool finished;            // QUIT's finish ran: the close also sweeps
    message_table messages;   // filled by the scan
};

// Names the maildrop (a path that does not fit leaves it unnamed). Nothing is
// locked or read yet.
void name_mailbox(mailbox& box, const char* path);

// Takes the dot-lock (lock.hpp) with the identity of the caller; true when
// taken, else errno tells why.
bool lock_mailbox(mailbox& box, uid_t uid, gid_t gid);

// Renews the dot-lock while the session waits (nothing once it is given up).
void refresh_mailbox(mailbox& box);

// Completes an interrupted rewrite and builds the table: into spool files in
// spool_folder, or served in place (from the maildrop and its index) when
// spool_folder is nullptr. False on failure (logged).
bool scan_mailbox(mailbox& box, const char* spool_folder);

// The number of messages in the table, deleted ones included.
std::int32_t message_count(const mailbox& box);

// Message `number` (1-based), deleted or not; nullptr when there is none.
message_entry* message_at(mailbox& box, unsigned long number);

// Whether the messages are read from the maildrop itself (served in place,
// served_maildrop.hpp) rather than from spool files.
bool served_in_place(const mailbox& box);

// QUIT, before its answer: with deletions pending the maildrop is written
// back (update.hpp); true when every message marked deleted is gone (also
// when none is). The dot-lock goes at once, unless an index of the maildrop
// served in place is still owed: close_mailbox writes it after the answer,
// still under the lock.
bool finish_mailbox(mailbox& box, bool deletions_pending);

// Every ending, after QUIT's answer or in place of QUIT: the index where
// still owed (only under our dot-lock), the dot-lock, the journal the rewrite
// removed, the spool files, the served maildrop, the table, after QUIT what
// dead lock takers left beside the maildrop, and the session's spool folder.
// A second call does nothing.
void close_mailbox(mailbox& box);

// Gives up the dot-lock alone (a client gone mid-reply): nothing is written
// under it any more.
void release_mailbox_lock(mailbox& box);

// The mailbox the at-exit hook and the broken-pipe action reach; nullptr
// lets go of it.
void hold_for_exit(mailbox* box);

// The at-exit hook: close_mailbox of the held mailbox, if any.
void close_held_mailbox();

// Gives up the held mailbox's dot-lock, logs "caught signal: 13" and exits
// with status 1 (the at-exit hook cleans up the rest). Runs in normal
// context, after the SIGPIPE handler recorded the signal.
[[noreturn]] void on_broken_pipe(int sig);

}  // namespace tollmar::maildrop
