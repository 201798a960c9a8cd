#include "util/signals.hpp"

#include <csignal>
#include <cstdlib>

namespace tollmar::util {

volatile std::sig_atomic_t pending_termination = 0;
volatile std::sig_atomic_t pending_broken_pipe = 0;

namespace {
broken_pipe_action pipe_action = nullptr;
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
        pipe_action(sig);
    }
    if (pending_termination != 0) std::exit(0);
}

}  // namespace tollmar::util
