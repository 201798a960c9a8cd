// The relay runs in the pre-login process after an accepted login, the only
// process of the connection that speaks TLS. Both descriptors are
// non-blocking: the up pump (client to session) and the down pump (session
// to client) each move what they can, and the relay sleeps in poll only when
// neither can.
#include "channel/tls_relay.hpp"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "channel/tls_handle.hpp"
#include "channel/wait.hpp"
#include "util/signals.hpp"

namespace tollmar::channel {

namespace {

// One TLS record's worth towards the session; many towards the client, so
// that a long reply crosses from the session in few reads and leaves in full
// records.
constexpr std::size_t up_capacity = 16 * 1024;
constexpr std::size_t down_capacity = 256 * 1024;

char up_data[up_capacity];
char down_data[down_capacity];

struct relay_buffer {
    std::size_t used = 0;  // bytes in data
    std::size_t sent = 0;  // of which already passed on
    bool empty() const { return sent == used; }
    void passed(std::size_t n) {
        sent += n;
        if (sent == used) sent = used = 0;
    }
};

struct relay {
    SSL* handle = nullptr;
    int client_fd = -1;
    int session_fd = -1;
    relay_buffer up;    // client -> session
    relay_buffer down;  // session -> client
    bool client_ended = false;
    bool session_ended = false;
    bool session_told = false;  // the end of the client's input passed on
    std::int64_t last_client_write = 0;
    // What the pumps could not do without waiting, for the next poll.
    short client_events = 0;
    short session_events = 0;
};

bool would_block() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

// Client to session: decrypts into the empty buffer, passes on what it holds,
// and once the client's input has ended and all of it is passed on, ends the
// session's input as a plain client would. True on progress.
bool pump_up(relay& r) {
    bool progress = false;
    if (!r.client_ended && r.up.used == 0) {
        ERR_clear_error();
        const int n = SSL_read(r.handle, up_data, static_cast<int>(up_capacity));
        if (n > 0) {
            r.up.used = static_cast<std::size_t>(n);
            progress = true;
        } else if (const short wait = tls_wait_events(r.handle, n); wait != 0) {
            r.client_events |= wait;
        } else {
            r.client_ended = true;
            progress = true;
        }
    }
    if (!r.up.empty()) {
        const ssize_t n =
            send(r.session_fd, up_data + r.up.sent, r.up.used - r.up.sent, MSG_NOSIGNAL);
        if (n > 0) {
            r.up.passed(static_cast<std::size_t>(n));
            progress = true;
        } else if (n < 0 && would_block()) {
            r.session_events |= POLLOUT;
        } else {
            std::exit(0);  // the session has ended
        }
    } else if (r.client_ended && !r.session_told) {
        shutdown(r.session_fd, SHUT_WR);
        r.session_told = true;
    }
    return progress;
}

// Session to client: reads into the empty buffer and encrypts what it holds
// to the client. True on progress.
bool pump_down(relay& r) {
    bool progress = false;
    if (!r.session_ended && r.down.used == 0) {
        const ssize_t n = read(r.session_fd, down_data, down_capacity);
        if (n > 0) {
            r.down.used = static_cast<std::size_t>(n);
            r.last_client_write = monotonic_ms();  // the wait for the client starts
            progress = true;
        } else if (n < 0 && would_block()) {
            r.session_events |= POLLIN;
        } else {
            r.session_ended = true;
            progress = true;
        }
    }
    if (!r.down.empty()) {
        ERR_clear_error();
        const int n = SSL_write(r.handle, down_data + r.down.sent,
                                static_cast<int>(r.down.used - r.down.sent));
        if (n > 0) {
            r.down.passed(static_cast<std::size_t>(n));
            r.last_client_write = monotonic_ms();
            progress = true;
        } else if (const short wait = tls_wait_events(r.handle, n); wait != 0) {
            r.client_events |= wait;
        } else {
            std::exit(0);  // the client connection failed
        }
    }
    return progress;
}

// Sleeps until a descriptor is ready for what the pumps wait for; bounded
// only while bytes wait for the client, which must take them in time.
void wait_for_either(const relay& r) {
    int timeout = -1;
    if (!r.down.empty()) {
        const std::int64_t left = r.last_client_write + io_timeout_ms() - monotonic_ms();
        if (left <= 0) std::exit(1);  // the client stopped reading
        timeout = left > 60000 ? 60000 : static_cast<int>(left);
    }
    // A descriptor nobody waits on stays out of the set: its hang-up would
    // otherwise wake the poll again and again.
    struct pollfd fds[2] = {{r.client_events != 0 ? r.client_fd : -1, r.client_events, 0},
                            {r.session_events != 0 ? r.session_fd : -1, r.session_events, 0}};
    if (poll(fds, 2, timeout) < 0 && errno == EINTR) util::act_on_pending_signals();
}

}  // namespace

void tls_relay(int client_fd, int session_fd) {
    SSL* handle = get_tls_handle();
    const int flags = fcntl(session_fd, F_GETFL);
    if (handle == nullptr || flags < 0 || fcntl(session_fd, F_SETFL, flags | O_NONBLOCK) < 0)
        std::exit(1);
    relay r;
    r.handle = handle;
    r.client_fd = client_fd;
    r.session_fd = session_fd;
    r.last_client_write = monotonic_ms();
    for (;;) {
        r.client_events = 0;
        r.session_events = 0;
        const bool up_moved = pump_up(r);
        const bool down_moved = pump_down(r);
        if (r.session_ended && r.down.empty()) std::exit(0);
        if (!up_moved && !down_moved) wait_for_either(r);
    }
}

}  // namespace tollmar::channel
