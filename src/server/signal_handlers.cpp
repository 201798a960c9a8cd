// Signal handlers of the listening process and of connection processes.
#include <unistd.h>

#include "config/settings.hpp"
#include "server/connection.hpp"
#include "server/listener.hpp"
#include "util/signals.hpp"

namespace tollmar::server {

namespace {

// Set in a connection process before its termination signals are unblocked.
volatile std::sig_atomic_t connection_process = 0;

}  // namespace

void on_terminate(int sig) {
    if (connection_process != 0) {
        // The listener still runs and owns the pid file; the session ends at
        // its next safe point so that its clean-up runs outside signal context.
        util::record_signal(sig);
        return;
    }
    if (config::settings.daemon_mode) unlink(config::settings.pid_file);
    _exit(0);  // in signal context: exit is not async-signal-safe
}

void mask_termination_signals(int how) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : termination_signals) sigaddset(&set, sig);
    sigprocmask(how, &set, nullptr);
}

void enter_connection_process() {
    connection_process = 1;
    for (int sig : termination_signals) util::install_interrupting_signal(sig, on_terminate);
}

}  // namespace tollmar::server
