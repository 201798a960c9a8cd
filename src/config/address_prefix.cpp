#include "config/address_prefix.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace tollmar::config {

namespace {

constexpr unsigned char v4_mapped_lead[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

// The prefix length after "/": decimal, 0 to limit, no sign or leading zero.
bool parse_bits(const char* text, unsigned limit, unsigned* bits) {
    if (*text < '0' || *text > '9') return false;
    if (text[0] == '0' && text[1] != '\0') return false;
    unsigned value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
        value = value * 10 + static_cast<unsigned>(*text - '0');
        if (value > limit) return false;
    }
    *bits = value;
    return true;
}

// The family and the address bytes of a peer, IPv4-mapped addresses as IPv4.
int peer_bytes(const struct sockaddr_storage& peer, unsigned char bytes[16]) {
    if (peer.ss_family == AF_INET) {
        sockaddr_in v4;
        std::memcpy(&v4, &peer, sizeof v4);
        std::memcpy(bytes, &v4.sin_addr, 4);
        return AF_INET;
    }
    if (peer.ss_family == AF_INET6) {
        sockaddr_in6 v6;
        std::memcpy(&v6, &peer, sizeof v6);
        if (std::memcmp(v6.sin6_addr.s6_addr, v4_mapped_lead, sizeof v4_mapped_lead) == 0) {
            std::memcpy(bytes, v6.sin6_addr.s6_addr + 12, 4);
            return AF_INET;
        }
        std::memcpy(bytes, v6.sin6_addr.s6_addr, 16);
        return AF_INET6;
    }
    return 0;
}

}  // namespace

bool parse_address_prefix(const char* text, address_prefix* out) {
    char address[INET6_ADDRSTRLEN + 1];
    const char* slash = std::strchr(text, '/');
    const std::size_t length =
        slash != nullptr ? static_cast<std::size_t>(slash - text) : std::strlen(text);
    if (length == 0 || length >= sizeof address) return false;
    std::memcpy(address, text, length);
    address[length] = '\0';

    address_prefix parsed;
    if (inet_pton(AF_INET, address, parsed.bytes) == 1) {
        parsed.family = AF_INET;
        parsed.bits = 32;
    } else if (inet_pton(AF_INET6, address, parsed.bytes) == 1) {
        parsed.family = AF_INET6;
        parsed.bits = 128;
    } else {
        return false;
    }
    if (slash != nullptr && !parse_bits(slash + 1, parsed.bits, &parsed.bits)) return false;
    if (parsed.family == AF_INET6 &&
        std::memcmp(parsed.bytes, v4_mapped_lead, sizeof v4_mapped_lead) == 0 &&
        parsed.bits >= 96) {
        std::memmove(parsed.bytes, parsed.bytes + 12, 4);
        std::memset(parsed.bytes + 4, 0, 12);
        parsed.family = AF_INET;
        parsed.bits -= 96;
    }
    *out = parsed;
    return true;
}

bool prefix_matches(const address_prefix& prefix, const struct sockaddr_storage& peer) {
    unsigned char bytes[16] = {};
    if (prefix.family == 0 || peer_bytes(peer, bytes) != prefix.family) return false;
    const unsigned whole = prefix.bits / 8;
    if (std::memcmp(bytes, prefix.bytes, whole) != 0) return false;
    const unsigned rest = prefix.bits % 8;
    if (rest == 0) return true;
    const auto mask = static_cast<unsigned char>(0xff << (8 - rest));
    return (bytes[whole] & mask) == (prefix.bytes[whole] & mask);
}

}  // namespace tollmar::config
