// The accept-and-fork loop of the listening process.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "server/connection_limits.hpp"
#include "server/listener.hpp"
#include "session/session.hpp"
#include "util/client_address.hpp"
#include "util/log.hpp"
#include "util/signals.hpp"

namespace tollmar::server {

namespace {

[[noreturn]] void serve_connection(int listen_fd, int fd, const char* host) {
    close(listen_fd);
    util::set_client_address(host);
    enter_connection_process();
    mask_termination_signals(SIG_UNBLOCK);
    // A termination signal that arrived since fork ends the process here.
    util::act_on_pending_signals();
    session::run_session(fd);
    util::log_line(LOG_INFO, "Connection closed");
    std::exit(0);
}

}  // namespace

void accept_loop(int listen_fd) {
    init_connection_limits();
    for (;;) {
        reap_ended_connections();
        struct sockaddr_storage peer {};
        socklen_t peer_size = sizeof peer;
        const int fd = accept(listen_fd, reinterpret_cast<struct sockaddr*>(&peer), &peer_size);
        if (fd < 0) {
            if (errno != EINTR) {
                const int error = errno;
                util::log_line(LOG_ERR, "%s: %s", "failed to accept connection",
                               std::strerror(error));
                // Out of descriptors or memory, accept fails again at once:
                // pause briefly instead of spinning and flooding the log.
                if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                    usleep(100000);
                }
            }
            continue;
        }

        struct sockaddr_storage named {};
        socklen_t named_size = sizeof named;
        if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&named), &named_size) == 0) {
            peer = named;
        }
        char host[INET6_ADDRSTRLEN + 1];
        const unsigned port = peer_text(peer, host, sizeof host);
        // Judged before anything is logged or forked, so that a flood of
        // connections costs the listener a table scan each, nothing more.
        reap_ended_connections();
        const admission verdict = admit_connection(host);
        if (verdict != admission::admitted) {
            refuse_connection(fd, host, verdict);
            continue;
        }
        util::log_line(LOG_INFO, "Connection from %s:%u", host, port);
        prepare_connection_socket(fd);

        // Until the child has switched on_terminate to its deferred form, a
        // termination signal must not reach it.
        mask_termination_signals(SIG_BLOCK);
        const pid_t pid = fork();
        if (pid == 0) serve_connection(listen_fd, fd, host);
        const int fork_errno = errno;
        mask_termination_signals(SIG_UNBLOCK);
        if (pid < 0) {
            util::log_line(LOG_ERR, "%s: %s", "fork failed (aborting)", std::strerror(fork_errno));
        } else {
            record_connection(pid, host);
        }
        close(fd);
    }
}

}  // namespace tollmar::server
