// The -r address prefixes: what is accepted, and which peers fall inside.
#include "config/address_prefix.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>

namespace {

using tollmar::config::address_prefix;
using tollmar::config::parse_address_prefix;
using tollmar::config::prefix_matches;

sockaddr_storage peer(const char* text) {
    sockaddr_storage ss{};
    sockaddr_in sin{};
    sockaddr_in6 sin6{};
    if (inet_pton(AF_INET, text, &sin.sin_addr) == 1) {
        sin.sin_family = AF_INET;
        std::memcpy(&ss, &sin, sizeof sin);
    } else {
        EXPECT_EQ(inet_pton(AF_INET6, text, &sin6.sin6_addr), 1) << text;
        sin6.sin6_family = AF_INET6;
        std::memcpy(&ss, &sin6, sizeof sin6);
    }
    return ss;
}

TEST(AddressPrefix, ParsingAcceptsNumericAddressesAndPrefixesOnly) {
    struct Case {
        const char* text;
        bool ok;
        int family;
        unsigned bits;
    };
    const Case cases[] = {
        {"127.0.0.1", true, AF_INET, 32},
        {"10.0.0.0/8", true, AF_INET, 8},
        {"0.0.0.0/0", true, AF_INET, 0},
        {"::1", true, AF_INET6, 128},
        {"2001:db8::/32", true, AF_INET6, 32},
        {"::/0", true, AF_INET6, 0},
        {"::ffff:192.0.2.1", true, AF_INET, 32},      // mapped: stored as IPv4
        {"::ffff:192.0.2.0/120", true, AF_INET, 24},  // its prefix counted in IPv4 bits
        {"10.0.0.0/32", true, AF_INET, 32},
        {"2001:db8::/128", true, AF_INET6, 128},
        {"10.0.0.0/33", false, 0, 0},
        {"::/129", false, 0, 0},
        {"10.0.0.0/", false, 0, 0},
        {"10.0.0.0/08", false, 0, 0},
        {"10.0.0.0/+8", false, 0, 0},
        {"10.0.0.0/ 8", false, 0, 0},
        {"10.0.0.0/8x", false, 0, 0},
        {"10.0.0.0/99999999999", false, 0, 0},
        {"/8", false, 0, 0},
        {"", false, 0, 0},
        {"localhost", false, 0, 0},
        {"10.0.0", false, 0, 0},
        {"010.0.0.1", false, 0, 0},
        {" 10.0.0.1", false, 0, 0},
        {"10.0.0.1 ", false, 0, 0},
        {"[::1]", false, 0, 0},
        {"fe80::1%lo", false, 0, 0},
        {"1:2:3:4:5:6:7:8:9", false, 0, 0},
        {"0000:0000:0000:0000:0000:0000:0000:0000:0000:0000:0000:1", false, 0, 0},
    };
    for (const Case& c : cases) {
        address_prefix p;
        p.family = -1;
        EXPECT_EQ(parse_address_prefix(c.text, &p), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(p.family, c.family) << c.text;
            EXPECT_EQ(p.bits, c.bits) << c.text;
        } else {
            EXPECT_EQ(p.family, -1) << "left untouched: " << c.text;
        }
    }
}

TEST(AddressPrefix, PeersInsideAndOutside) {
    struct Case {
        const char* prefix;
        const char* peer;
        bool inside;
    };
    const Case cases[] = {
        {"127.0.0.1", "127.0.0.1", true},
        {"127.0.0.1", "127.0.0.2", false},
        {"127.0.0.1", "::ffff:127.0.0.1", true},  // IPv4 client on a dual-stack socket
        {"::ffff:127.0.0.1", "127.0.0.1", true},
        {"127.0.0.1", "::1", false},
        {"::1", "127.0.0.1", false},
        {"10.0.0.0/8", "10.255.255.255", true},
        {"10.0.0.0/8", "11.0.0.0", false},
        {"192.168.4.0/22", "192.168.7.255", true},
        {"192.168.4.0/22", "192.168.8.0", false},
        {"192.168.4.0/22", "192.168.3.255", false},
        {"0.0.0.0/0", "203.0.113.9", true},
        {"0.0.0.0/0", "2001:db8::1", false},
        {"2001:db8::/32", "2001:db8:ffff::1", true},
        {"2001:db8::/32", "2001:db9::1", false},
        {"2001:db8::/33", "2001:db8:7fff::1", true},
        {"2001:db8::/33", "2001:db8:8000::1", false},
        {"::/0", "::ffff:10.0.0.1", false},  // that one is an IPv4 client
        {"::/0", "fe80::1", true},
    };
    for (const Case& c : cases) {
        address_prefix p;
        ASSERT_TRUE(parse_address_prefix(c.prefix, &p)) << c.prefix;
        EXPECT_EQ(prefix_matches(p, peer(c.peer)), c.inside) << c.prefix << " " << c.peer;
    }
    sockaddr_storage unix_peer{};
    unix_peer.ss_family = AF_UNIX;
    address_prefix any;
    ASSERT_TRUE(parse_address_prefix("0.0.0.0/0", &any));
    EXPECT_FALSE(prefix_matches(any, unix_peer));
    EXPECT_FALSE(prefix_matches(address_prefix{}, peer("127.0.0.1")));
}

}  // namespace
