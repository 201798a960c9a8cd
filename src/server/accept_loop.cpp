// The accept-and-fork loop of the listening process.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "channel/tls.hpp"
#include "config/settings.hpp"
#include "server/child_reaping.hpp"
#include "server/connection.hpp"
#include "server/connection_limits.hpp"
#include "server/listener.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"

namespace tollmar::server {

namespace {

// One connection from a ready listening socket, or -1 when there was none
// after all (taken back by the client, or interrupted).
int accept_one(int listen_fd, struct sockaddr_storage* peer) {
    socklen_t peer_size = sizeof *peer;
    const int fd = accept(listen_fd, reinterpret_cast<struct sockaddr*>(peer), &peer_size);
    if (fd >= 0) return fd;
    const int error = errno;
    if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK || error == ECONNABORTED) {
        return -1;
    }
    util::log_line(LOG_ERR, "%s: %s", "failed to accept connection", std::strerror(error));
    // Out of descriptors or memory, accept fails again at once: pause briefly
    // instead of spinning and flooding the log.
    if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        usleep(100000);
    }
    return -1;
}

}  // namespace

void accept_loop() {
    const std::span<const int> fds = listeners();
    struct pollfd set[max_listeners];
    for (std::size_t i = 0; i < fds.size(); ++i) set[i] = {fds[i], POLLIN, 0};
    for (;;) {
        reap_ended_connections();
        // SIGCHLD interrupts the wait; poll is never restarted.
        if (poll(set, fds.size(), -1) < 0) continue;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if ((set[i].revents & POLLIN) == 0) continue;
            struct sockaddr_storage peer {};
            const int fd = accept_one(set[i].fd, &peer);
            if (fd >= 0) handle_connection(fd, peer);
        }
    }
}

void handle_connection(int fd, const struct sockaddr_storage& accepted_peer) {
    struct sockaddr_storage peer = accepted_peer;
    struct sockaddr_storage named {};
    socklen_t named_size = sizeof named;
    if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&named), &named_size) == 0) {
        peer = named;
    }
    char host[util::peer_host_size];
    const unsigned port = util::peer_text(peer, host, sizeof host);
    // Counted under its key: an IPv6 client under its prefix.
    char key[util::peer_key_size];
    util::peer_key(peer, config::settings.ipv6_prefix_bits, key, sizeof key);
    // Judged before anything is logged or forked, so that a flood of
    // connections costs the listener a table scan each, nothing more. A
    // trusted proxy carries many clients: only the total limit applies to it
    // here, and its connection process applies the per-address limit to the
    // client the PROXY header names.
    reap_ended_connections();
    const bool via_proxy = is_trusted_proxy(peer);
    admission verdict = admit_connection(key, via_proxy);
    if (verdict == admission::admitted && !claim_connection_slot(key, via_proxy)) {
        verdict = admission::total_full;
    }
    if (verdict != admission::admitted) {
        refuse_connection(fd, key, verdict);
        return;
    }
    util::log_line(LOG_INFO, "Connection from %s:%u", host, port);
    // Logged when it fails; the connection works without the option.
    (void)prepare_connection_socket(fd);
    // The connection process inherits the context; a certificate or key
    // replaced since the last connection is loaded here first.
    if (config::tls_configured()) channel::tls_refresh_shared_context();

    // Until the child has switched on_terminate to its deferred form, a
    // termination signal must not reach it.
    mask_termination_signals(SIG_BLOCK);
    const pid_t pid = fork();
    if (pid == 0) serve_connection(fd, peer);
    const int fork_errno = errno;
    mask_termination_signals(SIG_UNBLOCK);
    // The child's pid into the slot claimed for it; a failed fork frees it.
    record_connection(pid);
    if (pid < 0) {
        util::log_line(LOG_ERR, "%s: %s", "fork failed (aborting)", std::strerror(fork_errno));
    }
    close(fd);
}

}  // namespace tollmar::server
