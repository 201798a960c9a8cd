// The writing half of the client channel: send_text and its optional output
// collection. Each write attempt waits for the connection first; the descriptor
// is written without blocking, so a client that stops reading can never hold a
// write beyond io_timeout, and what was taken counts as progress.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "channel/line_io.hpp"
#include "channel/tls_handle.hpp"
#include "channel/wait.hpp"
#include "util/ending.hpp"
#include "util/fatal.hpp"
#include "util/log.hpp"
#include "util/signals.hpp"

namespace tollmar::channel {

namespace {

// Large enough that a long reply goes out in few system calls (and, over
// TLS, in full-sized records).
constexpr std::size_t output_capacity = 64 * 1024;
char output_buffer[output_capacity];
std::size_t output_used = 0;
bool output_corked = false;
std::uint64_t octets_handed = 0;

// One TLS write attempt, as attempt_write.
long attempt_tls_write(SSL* handle, const char* data, std::size_t len, short* events) {
    const int chunk = len > INT_MAX ? INT_MAX : static_cast<int>(len);
    ERR_clear_error();
    errno = 0;
    const int n = SSL_write(handle, data, chunk);
    const int saved = errno;
    if (n > 0) return n;
    if (const short wait = tls_wait_events(handle, n); wait != 0) {
        *events = wait;
        return 0;
    }
    // A TLS-level failure leaves errno untouched; give the log a reason.
    errno = saved != 0 ? saved : EPROTO;
    return -1;
}

// One write attempt. Positive: bytes taken. 0: not ready yet, wait for
// *events and try again. Negative: failure (or EINTR) with errno set.
long attempt_write(int fd, const char* data, std::size_t len, short* events) {
    if (SSL* handle = get_tls_handle(); handle != nullptr)
        return attempt_tls_write(handle, data, len, events);
    errno = 0;
    ssize_t n = send(fd, data, len, MSG_DONTWAIT);
    if (n < 0 && errno == ENOTSOCK) n = write(fd, data, len);
    if (n > 0) return n;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        *events = POLLOUT;
        return 0;
    }
    if (errno == 0) errno = EIO;
    return -1;
}

// Writes every byte or ends the process.
void write_all(int fd, const char* data, std::size_t len) {
    short events = POLLOUT;
    while (len > 0) {
        if (!wait_ready(fd, events, wait_limit_ms())) {
            util::note_ending(util::ending::timeout);
            if (phase_deadline_passed()) end_at_phase_deadline();
            util::fatal(nullptr, "%s", "write() timed out.");
        }
        const long n = attempt_write(fd, data, len, &events);
        if (n > 0) {
            data += n;
            len -= static_cast<std::size_t>(n);
            events = POLLOUT;
            continue;
        }
        if (n == 0) continue;
        const int err = errno;
        events = POLLOUT;
        if (err == EINTR) {
            util::act_on_pending_signals();
            continue;
        }
        // A vanished client raises SIGPIPE before the write reports EPIPE;
        // its recorded action (clean-up and exit) takes precedence over this
        // log line.
        util::act_on_pending_signals();
        util::note_ending(util::ending::broken);
        util::fatal(nullptr, "%s: %s", "write failed - aborting", std::strerror(err));
    }
}

}  // namespace

std::size_t send_text(int fd, const char* text) {
    if (text == nullptr) return 0;
    const std::size_t len = std::strlen(text);
    send_bytes(fd, text, len);
    return len;
}

void send_bytes(int fd, const char* data, std::size_t len) {
    if (len == 0) return;
    octets_handed += len;
    if (!output_corked) {
        write_all(fd, data, len);
        return;
    }
    const char* next = data;
    std::size_t left = len;
    while (left > 0) {
        const std::size_t room = output_capacity - output_used;
        const std::size_t take = left < room ? left : room;
        std::memcpy(output_buffer + output_used, next, take);
        output_used += take;
        next += take;
        left -= take;
        if (output_used == output_capacity) {
            write_all(fd, output_buffer, output_used);
            output_used = 0;
        }
    }
}

void send_line(int fd, const char* text, std::size_t length, bool stuffed) {
    // The usual case, a line that fits the collected output: one copy, no
    // call per piece.
    if (output_corked && output_capacity - output_used >= length + 3) {
        char* out = output_buffer + output_used;
        if (stuffed) *out++ = '.';
        std::memcpy(out, text, length);
        out += length;
        out[0] = '\r';
        out[1] = '\n';
        const auto used = static_cast<std::size_t>(out + 2 - output_buffer);
        octets_handed += used - output_used;
        output_used = used;
        return;
    }
    if (stuffed) send_bytes(fd, ".", 1);
    send_bytes(fd, text, length);
    send_bytes(fd, "\r\n", 2);
}

std::uint64_t output_octets() {
    return octets_handed;
}

void cork_output() {
    output_corked = true;
}

void reset_writer() {
    output_corked = false;
    output_used = 0;
}

void flush_output(int fd) {
    output_corked = false;
    if (output_used == 0) return;
    write_all(fd, output_buffer, output_used);
    output_used = 0;
}

}  // namespace tollmar::channel
