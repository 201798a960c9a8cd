// Reading a PROXY header from a trusted proxy, and refusing one from anyone
// else.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "channel/proxy_header.hpp"
#include "channel/proxy_screen.hpp"
#include "channel/wait.hpp"
#include "util/clock.hpp"
#include "util/fatal.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"

namespace tollmar::channel {

namespace {

bool screen_pending = false;

}  // namespace

proxy_read read_proxy_header(int fd, proxy_header* out, const char** problem) {
    // Process-wide: up to 64 KiB, read once per connection process.
    static unsigned char buffer[proxy_max];
    std::size_t size = 0;
    const std::int64_t deadline = util::monotonic_ms() + io_timeout_ms();
    for (;;) {
        switch (parse_proxy_header(buffer, size, out)) {
            case proxy_parse::complete:
                return proxy_read::header;
            case proxy_parse::invalid:
                *problem = out->problem;
                return proxy_read::failed;
            case proxy_parse::need_more:
                break;
        }
        if (!wait_ready(fd, POLLIN, deadline - util::monotonic_ms())) {
            *problem = "no header within the timeout";
            return proxy_read::failed;
        }
        // Exactly what the header still lacks, so that the client's first
        // bytes stay in the socket for the session.
        const ssize_t n = read(fd, buffer + size, out->wanted);
        if (n == 0) {
            if (size == 0) return proxy_read::closed_at_once;
            *problem = "connection closed within the header";
            return proxy_read::failed;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            *problem = "read failed";
            return proxy_read::failed;
        }
        size += static_cast<std::size_t>(n);
    }
}

void refuse_stray_proxy_headers() {
    screen_pending = true;
}

bool stray_proxy_screen_pending() {
    return screen_pending;
}

void screen_first_bytes(const unsigned char* data, std::size_t size) {
    screen_pending = false;
    if (!starts_with_proxy_signature(data, size)) return;
    util::fatal(nullptr, "PROXY header refused from %s:%u: %s", util::client_host(),
                util::client_port(), "not from a trusted proxy");
}

bool screen_before_handshake(int fd, std::int64_t deadline) {
    if (!screen_pending) return true;
    if (!wait_ready(fd, POLLIN, deadline - util::monotonic_ms())) return false;
    unsigned char first[16];
    const ssize_t n = recv(fd, first, sizeof first, MSG_PEEK);
    screen_first_bytes(first, n > 0 ? static_cast<std::size_t>(n) : 0);
    return true;
}

}  // namespace tollmar::channel
