// Signal handlers of the listening process and of connection processes.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "config/settings.hpp"
#include "server/connection_limits.hpp"
#include "server/killed_sessions.hpp"
#include "server/listener.hpp"
#include "util/signals.hpp"

namespace tollmar::server {

namespace {

// Set in a connection process before its termination signals are unblocked.
volatile std::sig_atomic_t connection_process = 0;

}  // namespace

void reap_children(int) {
    const int saved_errno = errno;
    for (;;) {
        siginfo_t info;
        std::memset(&info, 0, sizeof info);  // si_pid stays 0 when none has ended
        if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG) != 0 || info.si_pid == 0) break;
        forget_connection(info.si_pid);
        note_reaped_child(info);
    }
    sweep_after_killed_sessions();
    errno = saved_errno;
}

void on_terminate(int sig) {
    if (connection_process != 0) {
        // The listener still runs and owns the pid file; the session ends at
        // its next safe point so that its clean-up runs outside signal context.
        util::record_signal(sig);
        return;
    }
    if (config::settings.daemon_mode) unlink(config::settings.pid_file);
    _exit(0);
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
