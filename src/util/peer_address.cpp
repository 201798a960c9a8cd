#include "util/peer_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "util/strlcpy.hpp"

namespace tollmar::util {

namespace {

struct client_record {
    struct sockaddr_storage address {};
    char host[peer_host_size] = "(unknown)";
    unsigned port = 0;
};

client_record client;

}  // namespace

unsigned peer_text(const struct sockaddr_storage& peer, char* host, unsigned host_size) {
    if (host_size == 0) return 0;
    if (peer.ss_family == AF_INET) {
        struct sockaddr_in v4;
        std::memcpy(&v4, &peer, sizeof v4);
        if (inet_ntop(AF_INET, &v4.sin_addr, host, host_size) == nullptr) host[0] = '\0';
        return ntohs(v4.sin_port);
    }
    if (peer.ss_family == AF_INET6) {
        struct sockaddr_in6 v6;
        std::memcpy(&v6, &peer, sizeof v6);
        const char* text;
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            // An IPv4 client reaching an IPv6 socket reads as itself.
            text = inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], host, host_size);
        } else {
            text = inet_ntop(AF_INET6, &v6.sin6_addr, host, host_size);
        }
        if (text == nullptr) host[0] = '\0';
        return ntohs(v6.sin6_port);
    }
    strlcpy(host, "(unknown)", host_size);
    return 0;
}

void peer_key(const struct sockaddr_storage& peer, unsigned v6_bits, char* key, unsigned key_size) {
    struct sockaddr_in6 v6;
    if (peer.ss_family == AF_INET6) std::memcpy(&v6, &peer, sizeof v6);
    if (peer.ss_family != AF_INET6 || IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr) || v6_bits >= 128) {
        peer_text(peer, key, key_size);
        return;
    }
    unsigned char* bytes = v6.sin6_addr.s6_addr;
    for (unsigned i = 0; i < 16; ++i) {
        const unsigned kept = v6_bits > i * 8 ? v6_bits - i * 8 : 0;
        if (kept < 8) bytes[i] &= static_cast<unsigned char>(0xff00u >> kept);
    }
    char text[INET6_ADDRSTRLEN];
    if (inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text) == nullptr) text[0] = '\0';
    std::snprintf(key, key_size, "%s/%u", text, v6_bits);
}

void set_client_address(const struct sockaddr_storage& address) {
    client.address = address;
    client.port = peer_text(address, client.host, sizeof client.host);
}

const struct sockaddr_storage& client_address() {
    return client.address;
}

const char* client_host() {
    return client.host;
}

unsigned client_port() {
    return client.port;
}

const char* client_key(unsigned v6_bits) {
    static char key[peer_key_size];
    peer_key(client.address, v6_bits, key, sizeof key);
    return key;
}

}  // namespace tollmar::util
