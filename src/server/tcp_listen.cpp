// Binding the listening sockets: every address of a -l name, or both address
// families when no -l is given.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/settings.hpp"
#include "server/listener.hpp"
#include "util/fatal.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"

namespace tollmar::server {

namespace {

constexpr int default_backlog = 1024;
constexpr const char* any_host_text = "(any)";  // the host in log lines without -l
constexpr int linger_seconds = 5;
// Results of one name looked at; a name with more addresses is unusual and
// its further addresses are not bound.
constexpr unsigned max_results = 32;

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

// Whether an IPv6 wildcard socket also takes IPv4 clients.
enum class v6_scope { system_default, both_families };

// A bound, listening socket for one address, or -1 with errno from socket()
// or bind(). A failing listen() ends the process: the address is bound, so
// nothing but a fault of the system is left to blame.
int open_listener(const struct addrinfo& ai, v6_scope scope, bool* both_families) {
    const int fd = socket(ai.ai_family, ai.ai_socktype, ai.ai_protocol);
    if (fd < 0) return -1;
    set_socket_options(fd);
    if (scope == v6_scope::both_families) {
        // What counts is the option in force, whether or not we could set it.
        int v6_only = 0;
        socklen_t size = sizeof v6_only;
        (void)setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, sizeof v6_only);
        *both_families =
            getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, &size) == 0 && v6_only == 0;
    }
    if (bind(fd, ai.ai_addr, ai.ai_addrlen) != 0) {
        const int error = errno;
        *both_families = false;
        close(fd);
        errno = error;
        return -1;
    }
    if (listen(fd, listen_backlog(std::getenv("LISTENQ"))) != 0)
        util::fatal(nullptr, "%s: %s", "listen failed", std::strerror(errno));
    return fd;
}

struct addrinfo* resolve(const char* host, const char* service) {
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
        const char* host_text = host != nullptr ? host : any_host_text;
        const std::string shown = std::string("getaddrinfo: ") + reason;
        util::fatal(shown.c_str(), "%s: %s, %s: %s", "getaddrinfo failed", host_text, service,
                    reason);
    }
    return results;
}

[[noreturn]] void bind_failed(const char* host, const char* service, int error) {
    const char* host_text = host != nullptr ? host : any_host_text;
    const std::string shown = std::string("tcp_listen: ") + std::strerror(error);
    util::fatal(shown.c_str(), "%s: %s, %s: %s", "failed to bind socket", host_text, service,
                std::strerror(error));
}

void warn_not_bound(const struct addrinfo& ai, int error) {
    struct sockaddr_storage address {};
    std::memcpy(&address, ai.ai_addr,
                ai.ai_addrlen < sizeof address ? ai.ai_addrlen : sizeof address);
    char host[util::peer_host_size];
    const unsigned port = util::peer_text(address, host, sizeof host);
    util::log_line(LOG_WARNING, "not listening on %s port %u: %s", host, port,
                   std::strerror(error));
}

// No -l: one IPv6 socket that takes IPv4 clients too. Without IPv6 in the
// kernel (no socket, or the wildcard cannot be bound) IPv4 alone serves, with
// no error; where the IPv6 socket cannot take IPv4 clients, an IPv4 socket is
// added beside it.
unsigned listen_any(const char* service) {
    struct addrinfo* results = resolve(nullptr, service);
    const struct addrinfo* v6 = nullptr;
    const struct addrinfo* v4 = nullptr;
    for (const struct addrinfo* ai = results; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET6 && v6 == nullptr) v6 = ai;
        if (ai->ai_family == AF_INET && v4 == nullptr) v4 = ai;
    }
    unsigned bound = 0;
    bool both_families = false;
    if (v6 != nullptr) {
        const int fd = open_listener(*v6, v6_scope::both_families, &both_families);
        if (fd >= 0) {
            take_listening_socket(fd);
            ++bound;
        } else if (errno != EAFNOSUPPORT && errno != EADDRNOTAVAIL) {
            bind_failed(nullptr, service, errno);
        }
    }
    if (v4 != nullptr && !both_families) {
        bool unused = false;
        const int fd = open_listener(*v4, v6_scope::system_default, &unused);
        if (fd < 0) bind_failed(nullptr, service, errno);
        take_listening_socket(fd);
        ++bound;
    }
    freeaddrinfo(results);
    if (bound == 0) bind_failed(nullptr, service, EAFNOSUPPORT);
    return bound;
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
    if (listenq == nullptr) return default_backlog;
    // Digits only: strtol alone would take a sign, blanks and trailing words.
    bool digits = listenq[0] != '\0';
    for (const char* c = listenq; *c != '\0' && digits; ++c) digits = *c >= '0' && *c <= '9';
    errno = 0;
    const long value = digits ? std::strtol(listenq, nullptr, 10) : 0;
    if (digits && errno == 0 && value > 0 && value <= INT_MAX) return static_cast<int>(value);
    util::log_line(LOG_WARNING, "LISTENQ ignored, not a positive number: %.32s", listenq);
    return default_backlog;
}

unsigned tcp_listen(const char* host, const char* service) {
    if (host == nullptr) return listen_any(service);

    struct addrinfo* results = resolve(host, service);
    int errors[max_results] = {};
    unsigned bound = 0;
    unsigned index = 0;
    for (struct addrinfo* ai = results; ai != nullptr && index < max_results;
         ai = ai->ai_next, ++index) {
        bool unused = false;
        const int fd = open_listener(*ai, v6_scope::system_default, &unused);
        if (fd < 0) {
            errors[index] = errno;
            continue;
        }
        take_listening_socket(fd);
        ++bound;
    }
    if (bound == 0) {
        const int last_error = errors[index > 0 ? index - 1 : 0];
        freeaddrinfo(results);
        bind_failed(host, service, last_error);
    }
    index = 0;
    for (struct addrinfo* ai = results; ai != nullptr && index < max_results;
         ai = ai->ai_next, ++index) {
        if (errors[index] != 0) warn_not_bound(*ai, errors[index]);
    }
    freeaddrinfo(results);
    return bound;
}

void listen_on_configured_addresses() {
    const config::settings_record& settings = config::settings;
    if (settings.listen_address_count == 0) {
        tcp_listen(nullptr, settings.port);
        return;
    }
    for (unsigned i = 0; i < settings.listen_address_count; ++i) {
        tcp_listen(settings.listen_addresses[i], settings.port);
    }
}

}  // namespace tollmar::server
