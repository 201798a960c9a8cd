#include "session/login_message.hpp"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/codec.hpp"
#include "util/signals.hpp"

namespace tollmar::session {

namespace {

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
            return verdict_body_size;
        case message_handover:
        case message_handover_tls:
            return channel::reader_capacity;
        default:
            return 0;
    }
}

bool check_header(const unsigned char* header, message& out, const char** why) {
    util::cursor c = util::read_from(header, message_header_size);
    out.type = util::get_u32(c);
    out.length = util::get_u32(c);
    const std::size_t limit = message_body_limit(out.type);
    if (limit == 0)
        util::refuse(c, "unknown message type");
    else if (out.length > limit)
        util::refuse(c, "message too long");
    return util::get_end(c, why);
}

read_status read_message(int fd, message& out, const char** why) {
    unsigned char header[message_header_size];
    const long got = read_exact(fd, header, sizeof header);
    if (got == 0) return read_status::ended;
    const char* fault = nullptr;
    if (got < 0)
        fault = "read error";
    else if (got != static_cast<long>(sizeof header))
        fault = "truncated header";
    else if (check_header(header, out, &fault) &&
             read_exact(fd, out.body, out.length) != static_cast<long>(out.length))
        fault = "truncated body";
    if (fault == nullptr) return read_status::complete;
    if (why != nullptr) *why = fault;
    return read_status::malformed;
}

bool write_message(int fd, std::uint32_t type, const void* body, std::size_t length) {
    if (length > message_body_limit(type)) return false;
    unsigned char header[message_header_size];
    util::writer w = util::write_into(header, sizeof header);
    util::put_u32(w, type);
    util::put_u32(w, static_cast<std::uint32_t>(length));
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
    util::writer w = util::write_into(body, login_body_max);
    util::put_u32(w, static_cast<std::uint32_t>(n));
    util::put_u32(w, static_cast<std::uint32_t>(p));
    util::put_bytes(w, name, n);
    util::put_bytes(w, password, p);
    return util::written(w);
}

std::size_t encode_log(int priority, const char* text, unsigned char* body) {
    std::size_t n = std::strlen(text);
    if (n > util::log_line_size - 1) n = util::log_line_size - 1;
    util::writer w = util::write_into(body, log_body_max);
    util::put_i32(w, priority);
    util::put_bytes(w, text, n);
    return util::written(w);
}

std::size_t encode_verdict(auth::login_verdict verdict, unsigned char* body) {
    util::writer w = util::write_into(body, verdict_body_size);
    util::put_i32(w, verdict);
    return util::written(w);
}

namespace {

// A cursor over the body of a message of the given type; refused at once
// when the message is of another type.
util::cursor body_of(const message& in, bool right_type, const char* wrong_type) {
    util::cursor c = util::read_from(in.body, in.length);
    if (!right_type) util::refuse(c, wrong_type);
    return c;
}

}  // namespace

bool decode_login(const message& in, login_request& out, const char** why) {
    util::cursor c = body_of(in, in.type == message_login, "not a login message");
    const std::uint32_t n = util::get_u32(c);
    const std::uint32_t p = util::get_u32(c);
    if (n > auth::longest_credential || p > auth::longest_credential)
        util::refuse(c, "credential too long");
    const unsigned char* name = util::get_bytes(c, n);
    const unsigned char* password = util::get_bytes(c, p);
    if (!util::refused(c) && (!clean_text(name, n) || !clean_text(password, p)))
        util::refuse(c, "control byte in a credential");
    if (!util::get_end(c, why)) return false;
    std::memcpy(out.name, name, n);
    out.name[n] = '\0';
    std::memcpy(out.password, password, p);
    out.password[p] = '\0';
    return true;
}

bool decode_verdict(const message& in, auth::login_verdict& out, const char** why) {
    util::cursor c = body_of(in, in.type == message_verdict, "not a verdict message");
    const std::int32_t value = util::get_i32(c);
    if (!util::refused(c) && value != auth::verdict_temporary && value != auth::verdict_refused &&
        value != auth::verdict_accepted)
        util::refuse(c, "unknown verdict");
    if (!util::get_end(c, why)) return false;
    out = static_cast<auth::login_verdict>(value);
    return true;
}

bool decode_log(const message& in, int& priority, char* text, const char** why) {
    util::cursor c = body_of(in, in.type == message_log, "not a log message");
    const std::int32_t value = util::get_i32(c);
    const std::size_t n = util::bytes_left(c);
    if (!util::refused(c) && (value < LOG_EMERG || value > LOG_DEBUG))
        util::refuse(c, "unknown log priority");
    else if (n > util::log_line_size - 1)
        util::refuse(c, "log text too long");
    const unsigned char* line = util::get_bytes(c, n);
    if (!util::refused(c) && std::memchr(line, '\0', n) != nullptr)
        util::refuse(c, "NUL in log text");
    if (!util::get_end(c, why)) return false;
    priority = value;
    std::memcpy(text, line, n);
    text[n] = '\0';
    return true;
}

bool decode_handover(const message& in, const char** why) {
    util::cursor c = body_of(in, in.type == message_handover || in.type == message_handover_tls,
                             "not a handover message");
    if (in.length > channel::reader_capacity) util::refuse(c, "handover too long");
    util::get_bytes(c, util::bytes_left(c));  // the client's bytes, as they came
    return util::get_end(c, why);
}

}  // namespace tollmar::session
