#include "util/peer_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

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

}  // namespace tollmar::util
