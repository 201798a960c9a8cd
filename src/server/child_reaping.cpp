#include "server/child_reaping.hpp"

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "server/connection_limits.hpp"
#include "server/killed_sessions.hpp"

namespace tollmar::server {

namespace {

volatile std::sig_atomic_t child_ended = 0;

}  // namespace

void note_child_ended(int) {
    child_ended = 1;
}

void reap_ended_connections() {
    if (child_ended == 0) return;
    child_ended = 0;
    reap_children();
}

void reap_children() {
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

}  // namespace tollmar::server
