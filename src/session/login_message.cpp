#include "session/login_message.hpp"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/signals.hpp"

namespace tollmar::session {

namespace {

std::uint32_t get_u32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void put_u32(unsigned char* p, std::uint32_t v) {
    std::memcpy(p, &v, sizeof v);
}

bool fail(const char** why, const char* text) {
    if (why != nullptr) *why = text;
    return false;
}

// Reads exactly size bytes. Returns how many arrived before the end of input
// (size when all did); negative on a read error.
long read_exact(int fd, unsigned char* buf, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, buf + got, size - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        // A peer that died with bytes of ours unread resets the pair
        // instead of closing it: it is gone all the same.
        if (n == 0 || errno == ECONNRESET) break;
        if (errno == EINTR) {
            util::act_on_pending_signals();
            continue;
        }
        return -1;
    }
    return static_cast<long>(got);
}

// A credential may hold none of the bytes that end a C string or a line.
bool clean_text(const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] == '\0' || p[i] == '\r' || p[i] == '\n') return false;
    }
    return true;
}

}  // namespace

std::size_t message_body_limit(std::uint32_t type) {
    switch (type) {
        case message_log:
            return log_body_max;
        case message_login:
            return login_body_max;
        case message_verdict:
            return 4;
        case message_handover:
        case message_handover_tls:
            return channel::reader_capacity;
        default:
            return 0;
    }
}

bool check_header(const unsigned char* header, message& out, const char** why) {
    out.type = get_u32(header);
    out.length = get_u32(header + 4);
    const std::size_t limit = message_body_limit(out.type);
    if (limit == 0) return fail(why, "unknown message type");
    if (out.length > limit) return fail(why, "message too long");
    return true;
}

read_status read_message(int fd, message& out, const char** why) {
    unsigned char header[message_header_size];
    const long got = read_exact(fd, header, sizeof header);
    if (got == 0) return read_status::ended;
    if (got < 0) {
        fail(why, "read error");
        return read_status::malformed;
    }
    if (got != static_cast<long>(sizeof header)) {
        fail(why, "truncated header");
        return read_status::malformed;
    }
    if (!check_header(header, out, why)) return read_status::malformed;
    if (read_exact(fd, out.body, out.length) != static_cast<long>(out.length)) {
        fail(why, "truncated body");
        return read_status::malformed;
    }
    return read_status::complete;
}

bool write_message(int fd, std::uint32_t type, const void* body, std::size_t length) {
    if (length > message_body_limit(type)) return false;
    unsigned char header[message_header_size];
    put_u32(header, type);
    put_u32(header + 4, static_cast<std::uint32_t>(length));
    struct iovec parts[2] = {{header, sizeof header}, {const_cast<void*>(body), length}};
    struct msghdr msg {};
    msg.msg_iov = parts;
    msg.msg_iovlen = 2;
    std::size_t left = sizeof header + length;
    while (left > 0) {
        // MSG_NOSIGNAL: a vanished peer is reported here, not by SIGPIPE.
        const ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                util::act_on_pending_signals();
                continue;
            }
            return false;
        }
        left -= static_cast<std::size_t>(n);
        auto taken = static_cast<std::size_t>(n);
        while (taken > 0 && msg.msg_iovlen > 0) {
            iovec& first = msg.msg_iov[0];
            const std::size_t step = taken < first.iov_len ? taken : first.iov_len;
            first.iov_base = static_cast<char*>(first.iov_base) + step;
            first.iov_len -= step;
            taken -= step;
            if (first.iov_len == 0) {
                ++msg.msg_iov;
                --msg.msg_iovlen;
            }
        }
    }
    return true;
}

std::size_t encode_login(const char* name, const char* password, unsigned char* body) {
    const std::size_t n = std::strlen(name);
    const std::size_t p = std::strlen(password);
    if (n > auth::longest_credential || p > auth::longest_credential) return 0;
    put_u32(body, static_cast<std::uint32_t>(n));
    put_u32(body + 4, static_cast<std::uint32_t>(p));
    std::memcpy(body + 8, name, n);
    std::memcpy(body + 8 + n, password, p);
    return 8 + n + p;
}

std::size_t encode_log(int priority, const char* text, unsigned char* body) {
    std::size_t n = std::strlen(text);
    if (n > util::log_line_size - 1) n = util::log_line_size - 1;
    put_u32(body, static_cast<std::uint32_t>(priority));
    std::memcpy(body + 4, text, n);
    return 4 + n;
}

bool decode_login(const message& in, login_request& out, const char** why) {
    if (in.type != message_login) return fail(why, "not a login message");
    if (in.length < 8) return fail(why, "login message too short");
    const std::uint32_t n = get_u32(in.body);
    const std::uint32_t p = get_u32(in.body + 4);
    if (n > auth::longest_credential || p > auth::longest_credential)
        return fail(why, "credential too long");
    if (8 + static_cast<std::size_t>(n) + p != in.length)
        return fail(why, "credential lengths do not match the message");
    const unsigned char* name = in.body + 8;
    const unsigned char* password = name + n;
    if (!clean_text(name, n) || !clean_text(password, p))
        return fail(why, "control byte in a credential");
    std::memcpy(out.name, name, n);
    out.name[n] = '\0';
    std::memcpy(out.password, password, p);
    out.password[p] = '\0';
    return true;
}

bool decode_verdict(const message& in, auth::login_verdict& out, const char** why) {
    if (in.type != message_verdict) return fail(why, "not a verdict message");
    if (in.length != 4) return fail(why, "verdict of the wrong size");
    const auto value = static_cast<std::int32_t>(get_u32(in.body));
    if (value != auth::verdict_temporary && value != auth::verdict_refused &&
        value != auth::verdict_accepted)
        return fail(why, "unknown verdict");
    out = static_cast<auth::login_verdict>(value);
    return true;
}

bool decode_log(const message& in, int& priority, char* text, const char** why) {
    if (in.type != message_log) return fail(why, "not a log message");
    if (in.length < 4) return fail(why, "log message too short");
    const auto value = static_cast<std::int32_t>(get_u32(in.body));
    if (value < LOG_EMERG || value > LOG_DEBUG) return fail(why, "unknown log priority");
    const std::size_t n = in.length - 4;
    if (n > util::log_line_size - 1) return fail(why, "log text too long");
    if (std::memchr(in.body + 4, '\0', n) != nullptr) return fail(why, "NUL in log text");
    priority = value;
    std::memcpy(text, in.body + 4, n);
    text[n] = '\0';
    return true;
}

bool decode_handover(const message& in, const char** why) {
    if (in.type != message_handover && in.type != message_handover_tls)
        return fail(why, "not a handover message");
    if (in.length > channel::reader_capacity) return fail(why, "handover too long");
    return true;
}

}  // namespace tollmar::session
