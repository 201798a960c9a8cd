// Installing signal handlers, and deferred signal handling for connection
// processes.
//
// Handlers only record the signal; the normal path acts on it at safe points
// (before and after every wait on the client, between chunks of long file
// work, while retrying a lock), so that clean-up never runs in signal context.
#pragma once
#include <csignal>

namespace tollmar::util {

using signal_handler = void (*)(int);

// sigaction with an empty mask and SA_RESTART (flags 0 for SIGALRM).
// Returns the previous handler, or SIG_ERR after logging.
signal_handler install_signal(int sig, signal_handler handler);

// The same without SA_RESTART, so that blocking calls return EINTR and the
// signal is acted on promptly.
signal_handler install_interrupting_signal(int sig, signal_handler handler);

extern volatile std::sig_atomic_t pending_termination;  // signal number, or 0
extern volatile std::sig_atomic_t pending_broken_pipe;  // signal number, or 0

// The signal handler for both kinds: records the signal and returns.
void record_signal(int sig);

// What to run for a recorded SIGPIPE; it must not return (it exits).
using broken_pipe_action = void (*)(int sig);
void set_broken_pipe_action(broken_pipe_action action);

// Runs the action for a recorded SIGPIPE, or exit(0) for a recorded
// termination signal (so that at-exit clean-up runs). Returns when nothing is
// pending.
void act_on_pending_signals();

}  // namespace tollmar::util
