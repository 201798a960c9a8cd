// The PROXY header parser (versions 1 and 2) and the reader that takes
// exactly the header's bytes from the connection.
#include "channel/proxy_header.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "channel/harness.hpp"
#include "config/settings.hpp"
#include "util/peer_address.hpp"

namespace {

using tollmar::channel::parse_proxy_header;
using tollmar::channel::proxy_header;
using tollmar::channel::proxy_parse;

using bytes = std::string;

const bytes v2_sig("\r\n\r\n\0\r\nQUIT\n", 12);

// A version 2 header: version/command byte, family/transport byte, the block.
bytes v2(unsigned char ver_cmd, unsigned char fam, const bytes& block) {
    bytes h = v2_sig;
    h += static_cast<char>(ver_cmd);
    h += static_cast<char>(fam);
    h += static_cast<char>(block.size() >> 8);
    h += static_cast<char>(block.size() & 0xff);
    return h + block;
}

bytes v4_block() {  // 192.0.2.1:56324 -> 198.51.100.2:110
    return bytes("\xc0\x00\x02\x01\xc6\x33\x64\x02\xdc\x04\x00\x6e", 12);
}

bytes v6_block() {  // 2001:db8::1:443 -> 2001:db8::2:995
    bytes b(36, '\0');
    b[0] = '\x20', b[1] = '\x01', b[2] = '\x0d', b[3] = '\xb8', b[15] = '\x01';
    b[16] = '\x20', b[17] = '\x01', b[18] = '\x0d', b[19] = '\xb8', b[31] = '\x02';
    b[32] = '\x01', b[33] = '\xbb', b[34] = '\x03', b[35] = '\xe3';
    return b;
}

bytes tlv(unsigned char type, const bytes& value) {
    bytes t(1, static_cast<char>(type));
    t += static_cast<char>(value.size() >> 8);
    t += static_cast<char>(value.size() & 0xff);
    return t + value;
}

std::string endpoint(const sockaddr_storage& ss) {
    char host[tollmar::util::peer_host_size];
    const unsigned port = tollmar::util::peer_text(ss, host, sizeof host);
    return std::string(host) + ":" + std::to_string(port);
}

proxy_parse parse(const bytes& data, proxy_header* h) {
    return parse_proxy_header(reinterpret_cast<const unsigned char*>(data.data()), data.size(), h);
}

const std::string after = "CAPA\r\n";  // the client's first bytes follow the header

struct Valid {
    const char* name;
    bytes header;
    int version;
    const char* kind;
    const char* client;  // "" when the header names none
    const char* target;
};

std::vector<Valid> valid_headers() {
    const bytes longest_unknown = "PROXY UNKNOWN " + bytes(107 - 16, 'x') + "\r\n";
    return {
        {"v1 TCP4", "PROXY TCP4 192.0.2.1 198.51.100.2 56324 110\r\n", 1, "TCP4", "192.0.2.1:56324",
         "198.51.100.2:110"},
        {"v1 TCP6", "PROXY TCP6 2001:db8::1 2001:db8::2 0 65535\r\n", 1, "TCP6", "2001:db8::1:0",
         "2001:db8::2:65535"},
        {"v1 TCP6 mapped", "PROXY TCP6 ::ffff:192.0.2.9 ::1 1 2\r\n", 1, "TCP6", "192.0.2.9:1",
         "::1:2"},
        {"v1 UNKNOWN", "PROXY UNKNOWN\r\n", 1, "UNKNOWN", "", ""},
        {"v1 UNKNOWN with addresses", "PROXY UNKNOWN ffff::1 ffff::2 1 2\r\n", 1, "UNKNOWN", "",
         ""},
        {"v1 at 107 bytes", longest_unknown, 1, "UNKNOWN", "", ""},
        {"v2 TCP4", v2(0x21, 0x11, v4_block()), 2, "TCP4", "192.0.2.1:56324", "198.51.100.2:110"},
        {"v2 TCP6", v2(0x21, 0x21, v6_block()), 2, "TCP6", "2001:db8::1:443", "2001:db8::2:995"},
        {"v2 TCP4 with TLVs",
         v2(0x21, 0x11,
            v4_block() + tlv(0x01, "pop3") + tlv(0x04, "") + tlv(0xe0, bytes(300, 'z'))),
         2, "TCP4", "192.0.2.1:56324", "198.51.100.2:110"},
        {"v2 LOCAL", v2(0x20, 0x00, ""), 2, "LOCAL", "", ""},
        {"v2 LOCAL ignores what follows", v2(0x20, 0x11, v4_block() + "\x01\xff"), 2, "LOCAL", "",
         ""},
        {"v2 UNSPEC", v2(0x21, 0x00, "ignored"), 2, "UNSPEC", "", ""},
        {"v2 UNIX", v2(0x21, 0x31, bytes(216, '\0')), 2, "UNIX", "", ""},
    };
}

TEST(ProxyHeader, ValidHeadersWhole) {
    for (const Valid& v : valid_headers()) {
        proxy_header h;
        ASSERT_EQ(parse(v.header + after, &h), proxy_parse::complete)
            << v.name << ": " << h.problem;
        EXPECT_EQ(h.length, v.header.size()) << v.name;
        EXPECT_EQ(h.version, v.version) << v.name;
        EXPECT_STREQ(h.kind, v.kind) << v.name;
        EXPECT_EQ(h.has_client, v.client[0] != '\0') << v.name;
        if (h.has_client) {
            EXPECT_EQ(endpoint(h.client), v.client) << v.name;
            EXPECT_EQ(endpoint(h.target), v.target) << v.name;
        }
    }
}

// Fed as the reader feeds it: each step reads only what the parser asks for,
// and the header ends exactly where it should, however the bytes trickle in.
TEST(ProxyHeader, ValidHeadersStepByStepNeverAskPastTheEnd) {
    for (const Valid& v : valid_headers()) {
        const bytes stream = v.header + after;
        std::size_t size = 0;
        proxy_header h;
        proxy_parse state;
        while ((state = parse(stream.substr(0, size), &h)) == proxy_parse::need_more) {
            ASSERT_GT(h.wanted, 0u) << v.name;
            ASSERT_LE(size + h.wanted, v.header.size()) << v.name << " at " << size;
            size += h.wanted;
        }
        EXPECT_EQ(state, proxy_parse::complete) << v.name;
        EXPECT_EQ(size, v.header.size()) << v.name;
        // One byte at a time gives the same, whatever `wanted` said.
        for (std::size_t n = 0; n < v.header.size(); ++n) {
            EXPECT_EQ(parse(stream.substr(0, n), &h), proxy_parse::need_more) << v.name << " " << n;
        }
    }
}

TEST(ProxyHeader, MalformedHeadersAreRefused) {
    struct Case {
        bytes data;
        const char* problem;
    };
    const Case cases[] = {
        {"USER bob\r\n", "not a PROXY header"},
        {"PROXX TCP4", "not a PROXY header"},
        {"proxy TCP4 1.2.3.4 1.2.3.4 1 2\r\n", "not a PROXY header"},
        {bytes("\x16\x03\x01\x02\x00", 5), "not a PROXY header"},  // a TLS ClientHello
        {bytes("\r\n\r\n\0\r\nQUIX\n", 12), "not a PROXY header"},
        {"PROXY TCP4 192.0.2.1 198.51.100.2 56324 110\n", "version 1 header not ended by CR LF"},
        {"PROXY TCP4 192.0.2.1 198.51.100.2 56324 110\r\r\n",
         "version 1 header with a control character"},
        {"PROXY TCP4 192.0.2.1\t198.51.100.2 56324 110\r\n",
         "version 1 header with a control character"},
        {"PROXY UNKNOWN " + bytes(107 - 15, 'x') + "\r\n", "version 1 header too long"},
        {"PROXY TCP4 " + bytes(200, '1'), "version 1 header too long"},
        {"PROXY TCP4 192.0.2.1  198.51.100.2 56324 110\r\n", "version 1 header malformed"},
        {"PROXY TCP4 192.0.2.1 198.51.100.2 56324 110 \r\n", "version 1 header malformed"},
        {"PROXY TCP4 192.0.2.1 198.51.100.2 56324\r\n", "version 1 header malformed"},
        {"PROXY TCP4 192.0.2.1 198.51.100.2 1 2 3\r\n", "version 1 header malformed"},
        {"PROXY \r\n", "version 1 header malformed"},
        {"PROXY TCP5 192.0.2.1 198.51.100.2 1 2\r\n", "version 1 header with an unknown protocol"},
        {"PROXY tcp4 192.0.2.1 198.51.100.2 1 2\r\n", "version 1 header with an unknown protocol"},
        {"PROXY UNKNOWNX\r\n", "version 1 header malformed"},
        {"PROXY TCP4 ::1 ::1 1 2\r\n", "version 1 header with a malformed address"},
        {"PROXY TCP6 192.0.2.1 192.0.2.2 1 2\r\n", "version 1 header with a malformed address"},
        {"PROXY TCP4 192.0.2.01 192.0.2.2 1 2\r\n", "version 1 header with a malformed address"},
        {"PROXY TCP4 192.0.2.1 192.0.2.2 65536 2\r\n", "version 1 header with a malformed port"},
        {"PROXY TCP4 192.0.2.1 192.0.2.2 01 2\r\n", "version 1 header with a malformed port"},
        {"PROXY TCP4 192.0.2.1 192.0.2.2 1 -2\r\n", "version 1 header with a malformed port"},
        {"PROXY TCP4 192.0.2.1 192.0.2.2 1 123456\r\n", "version 1 header with a malformed port"},
        {v2(0x11, 0x11, v4_block()), "version 2 header with another version number"},
        {v2(0x31, 0x11, v4_block()), "version 2 header with another version number"},
        {v2(0x22, 0x11, v4_block()), "version 2 header with an unknown command"},
        {v2(0x21, 0x41, v4_block()), "version 2 header with an unknown family or transport"},
        {v2(0x21, 0x13, v4_block()), "version 2 header with an unknown family or transport"},
        {v2(0x21, 0x12, v4_block()), "version 2 header for a connection that is not a stream"},
        {v2(0x21, 0x10, v4_block()), "version 2 header for a connection that is not a stream"},
        {v2(0x21, 0x11, v4_block().substr(0, 11)), "version 2 header with a short address block"},
        {v2(0x21, 0x21, v4_block()), "version 2 header with a short address block"},
        {v2(0x21, 0x31, bytes(215, '\0')), "version 2 header with a short address block"},
        {v2(0x21, 0x11, v4_block() + "\x01\x00"), "version 2 header with a malformed TLV"},
        {v2(0x21, 0x11, v4_block() + bytes("\x01\x00\x05pop", 6)),
         "version 2 header with a malformed TLV"},
    };
    for (const Case& c : cases) {
        proxy_header h;
        EXPECT_EQ(parse(c.data + after, &h), proxy_parse::invalid) << c.problem;
        EXPECT_STREQ(h.problem, c.problem) << c.data;
    }
}

TEST(ProxyHeader, HowMuchIsWantedBeforeTheEnd) {
    struct Case {
        bytes data;
        std::size_t wanted;
    };
    const bytes tcp4 = v2(0x21, 0x11, v4_block());
    const Case cases[] = {
        {"", 1},
        {"P", 1},
        {"PROXY", 1},
        {"PROXY T", 1},
        {"\r", 15},
        {tcp4.substr(0, 12), 4},
        {tcp4.substr(0, 16), 12},
        {tcp4.substr(0, 20), 8},
        {v2(0x21, 0x11, bytes(0, '\0')).substr(0, 15), 1},
    };
    for (const Case& c : cases) {
        proxy_header h;
        EXPECT_EQ(parse(c.data, &h), proxy_parse::need_more) << c.data.size();
        EXPECT_EQ(h.wanted, c.wanted) << c.data.size();
    }
    // The largest header version 2 allows is read in full.
    const bytes big = v2(0x21, 0x11, v4_block() + tlv(0xee, bytes(65535 - 12 - 3, 'b')));
    proxy_header h;
    EXPECT_EQ(parse(big, &h), proxy_parse::complete) << h.problem;
    EXPECT_EQ(h.length, tollmar::channel::proxy_max);
}

TEST(ProxyHeader, SignatureAtStart) {
    using tollmar::channel::starts_with_proxy_signature;
    struct Case {
        bytes data;
        bool found;
    };
    const Case cases[] = {
        {"PROXY TCP4 ...", true},
        {"PROXY ", true},
        {"PROXY", false},
        {"USER PROXY ", false},
        {v2_sig + "!", true},
        {v2_sig.substr(0, 11), false},
        {"", false},
        {"PASS x\r\n", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(starts_with_proxy_signature(reinterpret_cast<const unsigned char*>(c.data.data()),
                                              c.data.size()),
                  c.found)
            << c.data;
    }
}

// The reader on a real connection: the header is taken, the client's bytes
// after it stay in the socket.
TEST(ProxyRead, TakesExactlyTheHeader) {
    using tollmar::channel::proxy_read;
    using tollmar::channel::read_proxy_header;
    tollmar::test::reset_channel_state();
    tollmar::config::settings.io_timeout = 5;
    struct Case {
        bytes sent;
        bool close;
        proxy_read result;
        const char* problem;
        bytes left;
    };
    const bytes v1 = "PROXY TCP4 192.0.2.1 198.51.100.2 56324 110\r\n";
    const bytes tcp4 = v2(0x21, 0x11, v4_block());
    const Case cases[] = {
        {v1 + after, false, proxy_read::header, nullptr, after},
        {tcp4 + after, false, proxy_read::header, nullptr, after},
        {"", true, proxy_read::closed_at_once, nullptr, ""},
        {v1.substr(0, 20), true, proxy_read::failed, "connection closed within the header", ""},
        {tcp4.substr(0, 20), true, proxy_read::failed, "connection closed within the header", ""},
        {"CAPA\r\nUSER x\r\n", false, proxy_read::failed, "not a PROXY header",
         "APA\r\nUSER x\r\n"},
    };
    for (const Case& c : cases) {
        const tollmar::test::socket_pair pair = tollmar::test::make_socket_pair();
        tollmar::test::write_fully(pair.peer, c.sent);
        if (c.close) shutdown(pair.peer, SHUT_WR);
        proxy_header h;
        const char* problem = nullptr;
        EXPECT_EQ(read_proxy_header(pair.ours, &h, &problem), c.result) << c.sent;
        EXPECT_STREQ(problem, c.problem) << c.sent;
        shutdown(pair.peer, SHUT_WR);
        EXPECT_EQ(tollmar::test::read_until_eof(pair.ours), c.left) << c.sent;
        close(pair.ours);
        close(pair.peer);
    }
}

TEST(ProxyRead, SilentProxyTimesOut) {
    using tollmar::channel::read_proxy_header;
    tollmar::test::reset_channel_state();
    tollmar::config::settings.io_timeout = 1;
    const tollmar::test::socket_pair pair = tollmar::test::make_socket_pair();
    tollmar::test::write_fully(pair.peer, "PROXY TCP4 ");  // and then nothing
    proxy_header h;
    const char* problem = nullptr;
    EXPECT_EQ(read_proxy_header(pair.ours, &h, &problem), tollmar::channel::proxy_read::failed);
    EXPECT_STREQ(problem, "no header within the timeout");
    close(pair.ours);
    close(pair.peer);
    tollmar::test::reset_channel_state();
}

}  // namespace
