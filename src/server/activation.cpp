// Socket activation: the listening sockets a service manager opened for us
// (systemd's Accept=no sockets, or systemd-socket-activate). The protocol is
// small enough to follow directly: LISTEN_PID names the process the sockets
// are meant for, LISTEN_FDS counts them from descriptor 3 on, and
// LISTEN_FDNAMES (not needed here) names them.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "server/listener.hpp"
#include "util/fatal.hpp"
#include "util/log.hpp"

namespace tollmar::server {

namespace {

constexpr int first_activated_fd = 3;

// A decimal number without sign, blanks or anything after it; -1 otherwise.
long parse_count(const char* text) {
    if (text == nullptr || *text < '0' || *text > '9') return -1;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0') return -1;
    return value;
}

bool is_listening_tcp_socket(int fd) {
    int value = 0;
    socklen_t size = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &size) != 0 || value != SOCK_STREAM) {
        return false;
    }
    size = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &value, &size) != 0 || value == 0) return false;
    struct sockaddr_storage local {};
    socklen_t local_size = sizeof local;
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &local_size) != 0) return false;
    return local.ss_family == AF_INET || local.ss_family == AF_INET6;
}

[[noreturn]] void activation_failed(const char* what, long value) {
    char shown[util::log_line_size];
    std::snprintf(shown, sizeof shown, "tollmar: socket activation: %s: %ld", what, value);
    util::fatal(shown, "socket activation: %s: %ld", what, value);
}

}  // namespace

void forget_activation_environment() {
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
}

unsigned take_activated_sockets() {
    const long pid = parse_count(std::getenv("LISTEN_PID"));
    const char* count_text = std::getenv("LISTEN_FDS");
    const long count = parse_count(count_text);
    forget_activation_environment();
    if (pid != static_cast<long>(getpid()) || count_text == nullptr) return 0;
    if (count < 0 || count > static_cast<long>(max_listeners)) {
        activation_failed("LISTEN_FDS is not a usable count", count);
    }
    for (long i = 0; i < count; ++i) {
        const int fd = first_activated_fd + static_cast<int>(i);
        if (!is_listening_tcp_socket(fd))
            activation_failed("not a listening TCP socket, descriptor", fd);
        take_listening_socket(fd);
    }
    return static_cast<unsigned>(count);
}

}  // namespace tollmar::server
