// The messages between the root connection process and the pre-login
// process: what the reader and the decoders accept, and every way a hostile
// pre-login process could get a length, a type or a byte wrong.
#include "session/login_message.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace tollmar::session;
using tollmar::auth::longest_credential;

using bytes = std::vector<unsigned char>;

// Every field least significant byte first, whatever the host.
bytes u32(std::uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}

bytes operator+(bytes a, const bytes& b);

bytes header(std::uint32_t type, std::uint32_t length) {
    return u32(type) + u32(length);
}

bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes text(const std::string& s) {
    return bytes(s.begin(), s.end());
}

// A message with the header's length taken from the body.
bytes framed(std::uint32_t type, const bytes& body) {
    return header(type, static_cast<std::uint32_t>(body.size())) + body;
}

bytes login_body(const std::string& name, const std::string& password) {
    return u32(static_cast<std::uint32_t>(name.size())) +
           u32(static_cast<std::uint32_t>(password.size())) + text(name) + text(password);
}

// A socket pair whose writing end has sent `input` and is closed.
struct fed_pair {
    int reader = -1;
    explicit fed_pair(const bytes& input) {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        std::size_t done = 0;
        while (done < input.size()) {
            const ssize_t n = write(fds[1], input.data() + done, input.size() - done);
            EXPECT_GT(n, 0);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        close(fds[1]);
        reader = fds[0];
    }
    ~fed_pair() { close(reader); }
};

read_status read_one(const bytes& input, message& m, const char** why) {
    fed_pair pair(input);
    return read_message(pair.reader, m, why);
}

message m;  // large: not on the stack

TEST(LoginMessage, WrittenMessagesReadBackExactly) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    static unsigned char body[login_body_max];
    const std::string long_name(longest_credential, 'n');
    const std::string long_password(longest_credential, 'p');
    const std::size_t login_length = encode_login(long_name.c_str(), long_password.c_str(), body);
    ASSERT_EQ(login_length, login_body_max);
    ASSERT_TRUE(write_message(fds[1], message_login, body, login_length));
    const std::size_t verdict_length = encode_verdict(tollmar::auth::verdict_temporary, body);
    ASSERT_EQ(verdict_length, verdict_body_size);
    ASSERT_TRUE(write_message(fds[1], message_verdict, body, verdict_length));
    const std::size_t log_length = encode_log(LOG_WARNING, "login failed ('x')", body);
    ASSERT_TRUE(write_message(fds[1], message_log, body, log_length));
    ASSERT_TRUE(write_message(fds[1], message_handover, "STAT\r\nLIST\r\n", 12));
    // What follows a handover is the session's own text: none of it may be
    // taken by the reader of the handover.
    ASSERT_EQ(write(fds[1], "NOOP\r\n", 6), 6);
    close(fds[1]);

    const char* why = nullptr;
    static login_request request;
    ASSERT_EQ(read_message(fds[0], m, &why), read_status::complete);
    ASSERT_TRUE(decode_login(m, request, &why)) << why;
    EXPECT_EQ(request.name, long_name);
    EXPECT_EQ(request.password, long_password);

    tollmar::auth::login_verdict decoded = tollmar::auth::verdict_accepted;
    ASSERT_EQ(read_message(fds[0], m, &why), read_status::complete);
    ASSERT_TRUE(decode_verdict(m, decoded, &why)) << why;
    EXPECT_EQ(decoded, tollmar::auth::verdict_temporary);

    int priority = -1;
    static char line[tollmar::util::log_line_size];
    ASSERT_EQ(read_message(fds[0], m, &why), read_status::complete);
    ASSERT_TRUE(decode_log(m, priority, line, &why)) << why;
    EXPECT_EQ(priority, LOG_WARNING);
    EXPECT_STREQ(line, "login failed ('x')");

    ASSERT_EQ(read_message(fds[0], m, &why), read_status::complete);
    ASSERT_TRUE(decode_handover(m, &why)) << why;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m.body), m.length), "STAT\r\nLIST\r\n");

    char rest[16];
    EXPECT_EQ(read(fds[0], rest, sizeof rest), 6);
    EXPECT_EQ(std::string(rest, 6), "NOOP\r\n");
    close(fds[0]);
}

TEST(LoginMessage, ReaderRefusesBrokenFraming) {
    struct Case {
        const char* what;
        bytes input;
        read_status expected;
    };
    const Case cases[] = {
        {"nothing at all", {}, read_status::ended},
        {"one byte of a header", bytes{2}, read_status::malformed},
        {"seven bytes of a header", bytes(7, 0), read_status::malformed},
        {"type 0", header(0, 0), read_status::malformed},
        {"type after the last", header(message_handover_tls + 1, 0), read_status::malformed},
        {"type all ones", header(0xffffffffu, 4), read_status::malformed},
        {"body shorter than its length", header(message_verdict, 4) + bytes{1, 0},
         read_status::malformed},
        {"header only", header(message_login, 20), read_status::malformed},
        {"verdict over its size", header(message_verdict, 5) + bytes(5, 0), read_status::malformed},
        {"login over its bound", header(message_login, login_body_max + 1), read_status::malformed},
        {"log over its bound", header(message_log, log_body_max + 1), read_status::malformed},
        {"handover over the reader's room",
         header(message_handover, tollmar::channel::reader_capacity + 1), read_status::malformed},
        {"length all ones", header(message_handover, 0xffffffffu), read_status::malformed},
        {"empty handover", header(message_handover, 0), read_status::complete},
        {"TLS handover over the reader's room",
         header(message_handover_tls, tollmar::channel::reader_capacity + 1),
         read_status::malformed},
        {"empty TLS handover", header(message_handover_tls, 0), read_status::complete},
        {"full handover", framed(message_handover, bytes(tollmar::channel::reader_capacity, 'x')),
         read_status::complete},
    };
    for (const Case& c : cases) {
        const char* why = nullptr;
        EXPECT_EQ(read_one(c.input, m, &why), c.expected) << c.what;
        if (c.expected == read_status::malformed) {
            EXPECT_NE(why, nullptr) << c.what;
        }
    }
}

// A pre-login process that dies (killed, out of memory) while a verdict it
// never read waits in its socket makes the next read fail with ECONNRESET
// instead of returning 0: the connection has ended, the same as a close, and
// is no sign of a hostile process.
TEST(LoginMessage, PeerGoneWithUnreadDataEndsBetweenMessagesOnly) {
    for (const bool mid_header : {false, true}) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        if (mid_header) {
            ASSERT_EQ(write(fds[1], "\x02\x00", 2), 2);
        }
        const bytes verdict = framed(message_verdict, bytes{1, 0, 0, 0});
        ASSERT_EQ(write(fds[0], verdict.data(), verdict.size()),
                  static_cast<ssize_t>(verdict.size()));
        close(fds[1]);  // the unread verdict is dropped with it
        const char* why = nullptr;
        if (mid_header) {
            EXPECT_EQ(read_message(fds[0], m, &why), read_status::malformed);
            EXPECT_NE(why, nullptr);
        } else {
            EXPECT_EQ(read_message(fds[0], m, &why), read_status::ended);
        }
        close(fds[0]);
    }
}

TEST(LoginMessage, LoginDecoderChecksEveryField) {
    const std::string longest(longest_credential, 'a');
    struct Case {
        const char* what;
        bytes body;
        bool accepted;
    };
    const Case cases[] = {
        {"name and password", login_body("alice", "s3cret"), true},
        {"both empty", login_body("", ""), true},
        {"both at the limit", login_body(longest, longest), true},
        {"no lengths", bytes{}, false},
        {"half the lengths", u32(0), false},
        {"name over the limit", login_body(longest + "a", "pw"), false},
        {"password over the limit", login_body("alice", longest + "a"), false},
        {"body longer than the lengths", login_body("alice", "pw") + bytes{'x'}, false},
        {"body shorter than the lengths", u32(5) + u32(2) + text("alicep"), false},
        {"lengths that wrap round", u32(0xffffffffu) + u32(9) + text("alice"), false},
        {"NUL in the name", login_body(std::string("al\0ce", 5), "pw"), false},
        {"CR in the name", login_body("al\rce", "pw"), false},
        {"LF in the password", login_body("alice", "p\nw"), false},
        {"NUL ending the password", login_body("alice", std::string("pw\0", 3)), false},
    };
    static login_request request;
    for (const Case& c : cases) {
        const bytes input = framed(message_login, c.body);
        const char* why = nullptr;
        ASSERT_EQ(read_one(input, m, &why), read_status::complete) << c.what;
        EXPECT_EQ(decode_login(m, request, &why), c.accepted) << c.what;
    }
    // A message of another type is no login, whatever its body.
    ASSERT_EQ(read_one(framed(message_log, login_body("a", "b")), m, nullptr),
              read_status::complete);
    EXPECT_FALSE(decode_login(m, request, nullptr));
}

TEST(LoginMessage, VerdictAndLogDecodersCheckTheirValues) {
    struct Case {
        std::uint32_t type;
        bytes body;
        bool accepted;
    };
    const Case cases[] = {
        {message_verdict, u32(static_cast<std::uint32_t>(-1)), true},
        {message_verdict, u32(0), true},
        {message_verdict, u32(1), true},
        {message_verdict, u32(2), false},
        {message_verdict, u32(static_cast<std::uint32_t>(-2)), false},
        {message_verdict, bytes{1, 0, 0}, false},
        {message_log, u32(LOG_ERR) + text("read() timed out."), true},
        {message_log, u32(LOG_DEBUG), true},
        {message_log, u32(LOG_DEBUG + 1) + text("x"), false},
        {message_log, u32(static_cast<std::uint32_t>(-1)) + text("x"), false},
        {message_log, u32(LOG_ERR) + text(std::string("a\0b", 3)), false},
        {message_log, bytes{3, 0}, false},
        {message_log, u32(LOG_ERR) + bytes(tollmar::util::log_line_size, 'x'), false},
    };
    static char line[tollmar::util::log_line_size];
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        ASSERT_EQ(read_one(framed(c.type, c.body), m, nullptr), read_status::complete) << i;
        tollmar::auth::login_verdict verdict{};
        int priority = 0;
        const bool ok = c.type == message_verdict ? decode_verdict(m, verdict, nullptr)
                                                  : decode_log(m, priority, line, nullptr);
        EXPECT_EQ(ok, c.accepted) << "case " << i;
    }
}

TEST(LoginMessage, EncodersRefuseWhatTheDecoderWould) {
    static unsigned char body[login_body_max];
    const std::string too_long(longest_credential + 1, 'a');
    EXPECT_EQ(encode_login(too_long.c_str(), "pw", body), 0u);
    EXPECT_EQ(encode_login("alice", too_long.c_str(), body), 0u);
    EXPECT_FALSE(write_message(-1, message_handover, body, tollmar::channel::reader_capacity + 1));
    // A log line longer than a line is cut to what the reader takes.
    static unsigned char log_body[log_body_max];
    const std::string huge(2 * tollmar::util::log_line_size, 'x');
    EXPECT_EQ(encode_log(LOG_INFO, huge.c_str(), log_body), 4 + tollmar::util::log_line_size - 1);
}

}  // namespace
