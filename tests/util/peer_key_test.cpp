// The key under which limits and the throttle count a client: IPv4 as
// itself, IPv6 by its prefix.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "util/peer_address.hpp"

namespace {

using tollmar::util::peer_key;
using tollmar::util::peer_key_size;

sockaddr_storage peer(const char* text) {
    sockaddr_storage ss{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
    } else {
        EXPECT_EQ(inet_pton(AF_INET6, text, &v6->sin6_addr), 1) << text;
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(995);
    }
    return ss;
}

TEST(PeerKey, IPv6ByPrefixIPv4AndMappedAsThemselves) {
    const struct {
        const char* address;
        unsigned bits;
        const char* key;
    } cases[] = {
        {"2001:db8:1:2:3:4:5:6", 64, "2001:db8:1:2::/64"},
        {"2001:db8:1:2:ffff:ffff:ffff:ffff", 64, "2001:db8:1:2::/64"},
        {"2001:db8:1:2:3:4:5:6", 48, "2001:db8:1::/48"},
        {"2001:db8:1:2:3:4:5:6", 56, "2001:db8:1::/56"},
        {"2001:db8:1:2ff:3:4:5:6", 60, "2001:db8:1:2f0::/60"},  // a bit count inside a byte
        {"2001:db8:1:2:3:4:5:6", 128, "2001:db8:1:2:3:4:5:6"},  // 128: the address alone
        {"::1", 64, "::/64"},
        {"192.0.2.7", 64, "192.0.2.7"},
        {"::ffff:192.0.2.7", 64, "192.0.2.7"},
        {"::ffff:192.0.2.7", 16, "192.0.2.7"},
    };
    for (const auto& c : cases) {
        char key[peer_key_size];
        peer_key(peer(c.address), c.bits, key, sizeof key);
        EXPECT_STREQ(key, c.key) << c.address << "/" << c.bits;
    }
}

TEST(PeerKey, TheLongestKeyFitsAndAShortBufferIsCutNotOverrun) {
    char key[peer_key_size + 8];
    std::memset(key, 'x', sizeof key);
    peer_key(peer("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), 127, key, peer_key_size);
    EXPECT_STREQ(key, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127");
    EXPECT_EQ(key[peer_key_size], 'x');
    char small[8];
    peer_key(peer("2001:db8:1:2:3:4:5:6"), 64, small, sizeof small);
    EXPECT_EQ(std::string(small), "2001:db");
}

}  // namespace
