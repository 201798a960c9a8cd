// The peer's address and port as shown in the connection log line.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "server/listener.hpp"
#include "util/strlcpy.hpp"

namespace tollmar::server {

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
    util::strlcpy(host, "(unknown)", host_size);
    return 0;
}

}  // namespace tollmar::server
