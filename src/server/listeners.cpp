// The set of listening sockets and the "Listening on" lines.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "server/listener.hpp"
#include "util/fatal.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"

namespace tollmar::server {

namespace {

int listening_fds[max_listeners];
unsigned listening_count = 0;

}  // namespace

std::span<const int> listeners() {
    return {listening_fds, listening_count};
}

void add_listener(int fd) {
    if (listening_count == max_listeners) {
        char shown[64];
        std::snprintf(shown, sizeof shown, "too many listening sockets (at most %u)",
                      max_listeners);
        util::fatal(shown, "%s", "too many listening sockets");
    }
    listening_fds[listening_count++] = fd;
}

void take_listening_socket(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) (void)fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
    add_listener(fd);
}

void close_listeners() {
    for (unsigned i = 0; i < listening_count; ++i) close(listening_fds[i]);
    listening_count = 0;
}

void log_listeners() {
    for (int fd : listeners()) {
        struct sockaddr_storage local {};
        socklen_t size = sizeof local;
        if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &size) != 0) continue;
        char host[util::peer_host_size];
        const unsigned port = util::peer_text(local, host, sizeof host);
        util::log_line(LOG_INFO, "Listening on %s port %u", host, port);
    }
}

}  // namespace tollmar::server
