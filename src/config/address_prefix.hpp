// An IPv4 or IPv6 address with an optional prefix length ("192.0.2.7",
// "10.0.0.0/8", "2001:db8::/32"), as given to -r, and the test whether a peer
// lies inside it.
#pragma once
#include <sys/socket.h>

namespace tollmar::config {

struct address_prefix {
    int family = 0;  // AF_INET or AF_INET6; 0: unset
    unsigned char bytes[16] = {};
    unsigned bits = 0;  // leading bits that must match
};

// Parses numeric text only (no host names: a name could resolve differently
// later, and trust must not depend on the resolver). An IPv4-mapped IPv6
// address is stored as the IPv4 address it stands for. False for anything
// else, a prefix length out of range or with a sign, blank or leading zero.
bool parse_address_prefix(const char* text, address_prefix* out);

// True when the peer's address lies inside the prefix. IPv4 peers seen on an
// IPv6 socket (IPv4-mapped) match IPv4 prefixes.
bool prefix_matches(const address_prefix& prefix, const struct sockaddr_storage& peer);

}  // namespace tollmar::config
