// Peer addresses as the text every log line uses.
#include "util/peer_address.hpp"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cstring>
#include <string>

namespace {

using tollmar::util::peer_text;

// The socket address of a numeric IPv4 or IPv6 text.
sockaddr_storage numeric_peer(const char* text, unsigned short port) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    sockaddr_storage ss{};
    EXPECT_EQ(getaddrinfo(text, std::to_string(port).c_str(), &hints, &found), 0) << text;
    if (found == nullptr) return ss;
    std::memcpy(&ss, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    return ss;
}

TEST(PeerText, AddressFormsAndPortInHostOrder) {
    struct Case {
        sockaddr_storage peer;
        const char* host;
        unsigned port;
    };
    const Case cases[] = {
        {numeric_peer("127.0.0.1", 40001), "127.0.0.1", 40001},
        {numeric_peer("192.0.2.255", 1), "192.0.2.255", 1},
        {numeric_peer("10.0.0.1", 65535), "10.0.0.1", 65535},
        {numeric_peer("::ffff:198.51.100.4", 258), "198.51.100.4", 258},
        {numeric_peer("2001:db8::1", 995), "2001:db8::1", 995},
        {numeric_peer("::1", 110), "::1", 110},
        {numeric_peer("fe80::1:2:3:4", 4096), "fe80::1:2:3:4", 4096},
    };
    for (const Case& c : cases) {
        char host[INET6_ADDRSTRLEN + 1];
        std::memset(host, 'x', sizeof host);
        EXPECT_EQ(peer_text(c.peer, host, sizeof host), c.port) << c.host;
        EXPECT_STREQ(host, c.host);
    }
}

TEST(PeerText, UnknownFamilyAndShortBuffer) {
    sockaddr_storage unix_peer{};
    unix_peer.ss_family = AF_UNIX;
    char host[INET6_ADDRSTRLEN + 1];
    EXPECT_EQ(peer_text(unix_peer, host, sizeof host), 0u);
    EXPECT_STREQ(host, "(unknown)");

    // A buffer too small for the address is left empty and nothing beyond it
    // is touched.
    char small[12];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(peer_text(numeric_peer("2001:db8:1:2:3:4:5:6", 7), small, 8), 7u);
    EXPECT_STREQ(small, "");
    for (std::size_t i = 8; i < sizeof small; ++i) EXPECT_EQ(small[i], '#');
}

}  // namespace
