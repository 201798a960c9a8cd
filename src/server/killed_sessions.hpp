// What sessions killed by a signal leave in the spool folder, cleared by the
// listener. A session removes its own spool folder on every ending it can
// act on; a SIGKILL, a crash or the OOM killer skips that. The listener reaps
// every connection process and learns from the kernel which died by a signal
// and under which user: for each such account it forks a short-lived helper
// that becomes the account and sweeps the account's folder of dead sessions
// (maildrop::sweep_dead_session_folders). The work of the removal is the
// helper's, so the listener goes on accepting at once.
#pragma once
#include <signal.h>

namespace tollmar::server {

// For every child the listener reaps (info as waitid fills it): notes the
// account of a connection process that died by a signal after it became the
// account (a process of root's has made no spool folder). The listener's own
// helpers are recognised and never noted.
void note_reaped_child(const siginfo_t& info);

// Forks one helper for each account noted since the last call (at most a
// few at a time; accounts beyond wait for a later call). Never blocks.
void sweep_after_killed_sessions();

}  // namespace tollmar::server
