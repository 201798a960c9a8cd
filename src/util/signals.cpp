#include "util/signals.hpp"

#include <syslog.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/ending.hpp"
#include "util/log.hpp"

namespace tollmar::util {

volatile std::sig_atomic_t pending_termination = 0;
volatile std::sig_atomic_t pending_broken_pipe = 0;

namespace {
broken_pipe_action pipe_action = nullptr;

signal_handler install_with_flags(int sig, signal_handler handler, int flags) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    if (sigaction(sig, &action, &previous) != 0 || previous.sa_handler == SIG_ERR) {
        log_line(LOG_ERR, "%s: %s", "failed to set signal handler", std::strerror(errno));
        std::perror("Signal error");
        return SIG_ERR;
    }
    return previous.sa_handler;
}

}  // namespace

signal_handler install_signal(int sig, signal_handler handler) {
    return install_with_flags(sig, handler, sig == SIGALRM ? 0 : SA_RESTART);
}

signal_handler install_interrupting_signal(int sig, signal_handler handler) {
    return install_with_flags(sig, handler, 0);
}

void record_signal(int sig) {
    if (sig == SIGPIPE)
        pending_broken_pipe = sig;
    else
        pending_termination = sig;
}

void set_broken_pipe_action(broken_pipe_action action) {
    pipe_action = action;
}

void act_on_pending_signals() {
    if (pending_broken_pipe != 0 && pipe_action != nullptr) {
        const int sig = pending_broken_pipe;
        pending_broken_pipe = 0;
        note_ending(ending::broken);
        pipe_action(sig);
    }
    if (pending_termination != 0) {
        note_ending(ending::signal);
        std::exit(0);
    }
}

}  // namespace tollmar::util
