// The one listening socket: the first address of the host that binds.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server/listener.hpp"
#include "util/log.hpp"

namespace tollmar::server {

namespace {

constexpr int default_backlog = 1024;
constexpr int linger_seconds = 5;

void set_socket_options(int fd) {
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        util::log_line(LOG_WARNING, "%s: %s", "setsockopt failed", std::strerror(errno));
    }
    struct linger linger_option {};
    linger_option.l_onoff = 1;
    linger_option.l_linger = linger_seconds;
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &linger_option, sizeof linger_option) != 0) {
        util::log_line(LOG_WARNING, "%s: %s", "setsockopt failed", std::strerror(errno));
    }
}

}  // namespace

bool prepare_connection_socket(int fd) {
    const int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        util::log_line(LOG_WARNING, "%s: %s", "setsockopt TCP_NODELAY failed",
                       std::strerror(errno));
        return false;
    }
    return true;
}

int listen_backlog(const char* listenq) {
    return listenq != nullptr ? std::atoi(listenq) : default_backlog;
}

int tcp_listen(const char* host, const char* service) {
    const char* host_text = host != nullptr ? host : "(any)";

    struct addrinfo hints {};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = 0;

    struct addrinfo* results = nullptr;
    const int rc = getaddrinfo(host, service, &hints, &results);
    if (rc != 0) {
        // The resolver reports through its own code; errno means something
        // only for EAI_SYSTEM.
        const char* reason = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
        util::log_line(LOG_ERR, "%s: %s, %s: %s", "getaddrinfo failed", host_text, service, reason);
        std::fprintf(stderr, "getaddrinfo: %s\n", reason);
        std::exit(1);
    }

    int bind_errno = 0;
    for (struct addrinfo* ai = results; ai != nullptr; ai = ai->ai_next) {
        const int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0) {
            bind_errno = errno;
            continue;
        }
        set_socket_options(fd);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            bind_errno = errno;
            close(fd);
            continue;
        }
        if (listen(fd, listen_backlog(std::getenv("LISTENQ"))) != 0) {
            util::log_line(LOG_ERR, "%s: %s", "listen failed", std::strerror(errno));
            std::exit(1);
        }
        freeaddrinfo(results);
        return fd;
    }

    freeaddrinfo(results);
    errno = bind_errno;
    util::log_line(LOG_ERR, "%s: %s, %s: %s", "failed to bind socket", host_text, service,
                   std::strerror(errno));
    std::perror("tcp_listen");
    std::exit(1);
}

}  // namespace tollmar::server
