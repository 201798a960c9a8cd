// Signal handlers of the listening process and of connection processes.
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "server/listener.hpp"
#include "server/settings.hpp"
#include "util/signals.hpp"

namespace tollmar::server {

namespace {

// Set in a connection process before its termination signals are unblocked.
volatile std::sig_atomic_t connection_process = 0;

signal_handler install_with_flags(int sig, signal_handler handler, int flags) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    if (sigaction(sig, &action, &previous) != 0 || previous.sa_handler == SIG_ERR) {
        syslog(LOG_ERR, "%s: %s", "failed to set signal handler", std::strerror(errno));
        std::perror("Signal error");
        return SIG_ERR;
    }
    return previous.sa_handler;
}

}  // namespace

signal_handler install_signal(int sig, signal_handler handler) {
    return install_with_flags(sig, handler, sig == SIGALRM ? 0 : SA_RESTART);
}

void reap_children(int) {
    const int saved_errno = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved_errno;
}

void on_terminate(int sig) {
    if (connection_process != 0) {
        // The listener still runs and owns the pid file; the session ends at
        // its next safe point so that its clean-up runs outside signal context.
        util::record_signal(sig);
        return;
    }
    if (settings.daemon_mode == 1) unlink(settings.pid_file);
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
    for (int sig : termination_signals) install_with_flags(sig, on_terminate, 0);
}

bool in_connection_process() {
    return connection_process != 0;
}

}  // namespace tollmar::server
