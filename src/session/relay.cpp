// The TLS relay of the pre-login process after an accepted login. The session
// process reads and writes the socket pair as its plain connection, so its
// timeouts, replies and clean-up are those of a plain session; the relay only
// moves bytes. Both descriptors are non-blocking: each direction moves when it
// can, and the relay sleeps in poll only when neither can.
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "channel/line_io.hpp"
#include "channel/wait.hpp"
#include "session/prelogin.hpp"
#include "util/clock.hpp"
#include "util/signals.hpp"

namespace tollmar::session {

namespace {

// One TLS record's worth towards the session; many towards the client, so
// that a long reply crosses from the session in few reads and leaves in full
// records.
constexpr std::size_t up_capacity = 16 * 1024;
constexpr std::size_t down_capacity = 256 * 1024;

struct relay_buffer {
    std::size_t used = 0;  // bytes in data
    std::size_t sent = 0;  // of which already passed on
    bool empty() const { return sent == used; }
    void passed(std::size_t n) {
        sent += n;
        if (sent == used) sent = used = 0;
    }
};

char up_data[up_capacity];
char down_data[down_capacity];

// The poll events an SSL call that did not finish is waiting for; 0 when the
// connection has ended or failed.
short tls_wait(SSL* handle, int result) {
    switch (SSL_get_error(handle, result)) {
        case SSL_ERROR_WANT_READ:
            return POLLIN;
        case SSL_ERROR_WANT_WRITE:
            return POLLOUT;
        default:
            return 0;
    }
}

bool would_block() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

}  // namespace

void relay_tls(int client_fd, int session_fd) {
    SSL* handle = channel::get_tls_handle();
    const int flags = fcntl(session_fd, F_GETFL);
    if (handle == nullptr || flags < 0 || fcntl(session_fd, F_SETFL, flags | O_NONBLOCK) < 0)
        std::exit(1);

    relay_buffer up;    // client -> session
    relay_buffer down;  // session -> client
    bool client_ended = false;
    bool session_ended = false;
    bool session_told = false;  // the end of the client's input passed on
    std::int64_t last_client_write = util::monotonic_ms();

    for (;;) {
        bool progress = false;
        short client_events = 0;
        short session_events = 0;

        if (!client_ended && up.used == 0) {
            ERR_clear_error();
            const int n = SSL_read(handle, up_data, static_cast<int>(up_capacity));
            if (n > 0) {
                up.used = static_cast<std::size_t>(n);
                progress = true;
            } else if (const short wait = tls_wait(handle, n); wait != 0) {
                client_events |= wait;
            } else {
                client_ended = true;
                progress = true;
            }
        }
        if (!up.empty()) {
            const ssize_t n = send(session_fd, up_data + up.sent, up.used - up.sent, MSG_NOSIGNAL);
            if (n > 0) {
                up.passed(static_cast<std::size_t>(n));
                progress = true;
            } else if (n < 0 && would_block()) {
                session_events |= POLLOUT;
            } else {
                std::exit(0);  // the session has ended
            }
        } else if (client_ended && !session_told) {
            // The session reads the end of input, as from a plain client.
            shutdown(session_fd, SHUT_WR);
            session_told = true;
        }

        if (!session_ended && down.used == 0) {
            const ssize_t n = read(session_fd, down_data, down_capacity);
            if (n > 0) {
                down.used = static_cast<std::size_t>(n);
                last_client_write = util::monotonic_ms();  // the wait for the client starts
                progress = true;
            } else if (n < 0 && would_block()) {
                session_events |= POLLIN;
            } else {
                session_ended = true;
                progress = true;
            }
        }
        if (!down.empty()) {
            ERR_clear_error();
            const int n =
                SSL_write(handle, down_data + down.sent, static_cast<int>(down.used - down.sent));
            if (n > 0) {
                down.passed(static_cast<std::size_t>(n));
                last_client_write = util::monotonic_ms();
                progress = true;
            } else if (const short wait = tls_wait(handle, n); wait != 0) {
                client_events |= wait;
            } else {
                std::exit(0);  // the client connection failed
            }
        }
        if (session_ended && down.empty()) std::exit(0);
        if (progress) continue;

        int timeout = -1;
        if (!down.empty()) {
            const std::int64_t left =
                last_client_write + channel::io_timeout_ms() - util::monotonic_ms();
            if (left <= 0) std::exit(1);  // the client stopped reading
            timeout = left > 60000 ? 60000 : static_cast<int>(left);
        }
        // A descriptor nobody waits on stays out of the set: its hang-up
        // would otherwise wake the poll again and again.
        struct pollfd fds[2] = {{client_events != 0 ? client_fd : -1, client_events, 0},
                                {session_events != 0 ? session_fd : -1, session_events, 0}};
        if (poll(fds, 2, timeout) < 0 && errno == EINTR) util::act_on_pending_signals();
    }
}

}  // namespace tollmar::session
