// The reading half of the client channel: read_timed and the line reader over
// the process-wide input buffer.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "channel/line_io.hpp"
#include "channel/proxy_screen.hpp"
#include "channel/tls_handle.hpp"
#include "channel/wait.hpp"
#include "util/ending.hpp"
#include "util/fatal.hpp"
#include "util/log.hpp"
#include "util/signals.hpp"

namespace tollmar::channel {

namespace {

constexpr std::size_t input_capacity = reader_capacity;
char input_buffer[input_capacity];
long input_left = 0;  // unconsumed bytes; 0 or less: empty
char* input_next = input_buffer;

// One TLS read attempt, as attempt_read.
long attempt_tls_read(SSL* handle, char* buf, std::size_t size, short* events, bool* again) {
    const int chunk = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    ERR_clear_error();
    errno = 0;
    const int n = SSL_read(handle, buf, chunk);
    const int saved = errno;
    if (n > 0) return n;
    if (const short wait = tls_wait_events(handle, n); wait != 0) {
        *events = wait;
        *again = true;
        return 0;
    }
    if (SSL_get_error(handle, n) == SSL_ERROR_ZERO_RETURN) return 0;
    if (n == 0 && saved == 0) return 0;  // the peer closed the connection
    errno = saved != 0 ? saved : EPROTO;
    return -1;
}

// One read attempt. Sets *again (with the events to wait for) when the
// connection was not ready after all; otherwise the result is that of read().
long attempt_read(int fd, char* buf, std::size_t size, short* events, bool* again) {
    *again = false;
    if (SSL* handle = get_tls_handle(); handle != nullptr)
        return attempt_tls_read(handle, buf, size, events, again);
    const ssize_t n = read(fd, buf, size);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        *events = POLLIN;
        *again = true;
        return 0;
    }
    return n;
}

// Reads the next block into the input buffer; false at end of input. Failures
// other than an interrupted read end the process.
bool refill(int fd) {
    for (;;) {
        const long n = read_timed(fd, input_buffer, input_capacity);
        input_next = input_buffer;
        if (n > 0) {
            input_left = n;
            if (stray_proxy_screen_pending()) {
                screen_first_bytes(reinterpret_cast<const unsigned char*>(input_buffer),
                                   static_cast<std::size_t>(n));
            }
            return true;
        }
        input_left = 0;
        if (n == 0) return false;
        const int err = errno;
        if (err == EINTR) {
            util::act_on_pending_signals();
            continue;
        }
        util::note_ending(util::ending::broken);
        util::fatal(nullptr, "%s: %s", "read failed - aborting", std::strerror(err));
    }
}

void consume(std::size_t n) {
    input_next += n;
    input_left -= static_cast<long>(n);
}

// Drops input up to and including the next LF, or until input ends.
void discard_rest_of_line(int fd) {
    for (;;) {
        if (input_left <= 0 && !refill(fd)) return;
        const auto avail = static_cast<std::size_t>(input_left);
        const void* lf = std::memchr(input_next, '\n', avail);
        if (lf != nullptr) {
            consume(static_cast<std::size_t>(static_cast<const char*>(lf) - input_next) + 1);
            return;
        }
        consume(avail);
    }
}

}  // namespace

long read_timed(int fd, char* buf, std::size_t size) {
    if (buf == nullptr || size == 0) return 0;
    // Whatever was collected for the client must be out before we wait on it.
    flush_output(fd);
    short events = POLLIN;
    for (;;) {
        SSL* handle = get_tls_handle();
        // Bytes the TLS layer has already decrypted are invisible to poll().
        const bool decrypted = handle != nullptr && events == POLLIN && SSL_pending(handle) > 0;
        // Checked before every read, not only when a wait runs out: a client
        // that keeps sending (one endless line) never lets a wait run out.
        const bool ready = decrypted || wait_ready(fd, events, wait_limit_ms());
        if (phase_deadline_passed()) {
            util::note_ending(util::ending::timeout);
            send_text(fd, "-ERR login time exceeded\r\n");
            end_at_phase_deadline();
        }
        if (!ready) {
            util::note_ending(util::ending::timeout);
            end_session(fd, "-ERR read() timed out.\r\n", LOG_ERR, "%s", "read() timed out.");
        }
        bool again = false;
        const long n = attempt_read(fd, buf, size, &events, &again);
        if (!again) return n;
    }
}

int read_line(int fd, char* buf, std::size_t max) {
    if (buf == nullptr || max == 0) return 0;
    if (max < 2) {
        buf[0] = '\0';
        return 0;
    }
    const std::size_t limit = max - 1;
    std::size_t stored = 0;
    bool complete = false;
    while (stored < limit) {
        if (input_left <= 0 && !refill(fd)) {
            if (stored == 0) {
                buf[0] = '\0';
                return 0;
            }
            break;
        }
        std::size_t avail = static_cast<std::size_t>(input_left);
        if (avail > limit - stored) avail = limit - stored;
        const void* lf = std::memchr(input_next, '\n', avail);
        const std::size_t take =
            lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - input_next) + 1
                          : avail;
        std::memcpy(buf + stored, input_next, take);
        consume(take);
        stored += take;
        if (lf != nullptr) {
            complete = true;
            break;
        }
    }
    buf[stored] = '\0';
    // A line whose LF was stored is complete, even with a NUL inside it.
    if (!complete) discard_rest_of_line(fd);
    return stored > INT_MAX ? INT_MAX : static_cast<int>(stored);
}

bool input_pending() {
    if (input_left > 0) return true;
    SSL* handle = get_tls_handle();
    return handle != nullptr && SSL_pending(handle) > 0;
}

void wipe_consumed_input() {
    explicit_bzero(input_buffer, static_cast<std::size_t>(input_next - input_buffer));
}

const char* reader_buffer(std::size_t* size) {
    *size = sizeof input_buffer;
    return input_buffer;
}

std::size_t take_pending_input(char* buf, std::size_t size) {
    if (input_left <= 0 || buf == nullptr) return 0;
    std::size_t n = static_cast<std::size_t>(input_left);
    if (n > size) n = size;
    std::memcpy(buf, input_next, n);
    consume(n);
    return n;
}

void push_input(const char* data, std::size_t size) {
    if (size > input_capacity) size = input_capacity;
    if (data != nullptr && size > 0) std::memmove(input_buffer, data, size);
    input_next = input_buffer;
    input_left = data != nullptr ? static_cast<long>(size) : 0;
}

void drop_input() {
    explicit_bzero(input_buffer, sizeof input_buffer);
    reset_reader();
}

void reset_reader() {
    input_left = 0;
    input_next = input_buffer;
}

}  // namespace tollmar::channel
