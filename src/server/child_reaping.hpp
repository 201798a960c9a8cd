// The listener's children, reaped: every connection process that ended is
// dropped from the connection table, and the spool folders of sessions
// killed by a signal are cleared (killed_sessions.hpp). Kept apart from both
// so that neither of them needs the other.
#pragma once

namespace tollmar::server {

// SIGCHLD handler of the listener: records that a child ended.
void note_child_ended(int sig);

// When a child ended since the last call: reaps every ended child without
// blocking and drops each from the table.
void reap_ended_connections();

// Reaps every ended child without blocking and drops each from the table,
// whether or not SIGCHLD was recorded; for sessions killed by a signal,
// starts the clean-up of their spool folders (killed_sessions.hpp); errno is
// preserved.
void reap_children();

}  // namespace tollmar::server
