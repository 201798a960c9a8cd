// Connections through a trusted proxy (-r): the PROXY header comes first and
// names the real client, which then stands in every log line of the session.
#include <cstdlib>

#include "channel/proxy_header.hpp"
#include "config/settings.hpp"
#include "server/connection.hpp"
#include "server/connection_limits.hpp"
#include "util/fatal.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"

namespace tollmar::server {

bool is_trusted_proxy(const struct sockaddr_storage& peer) {
    const config::settings_record& settings = config::settings;
    for (unsigned i = 0; i < settings.trusted_proxy_count; ++i) {
        if (config::prefix_matches(settings.trusted_proxies[i], peer)) return true;
    }
    return false;
}

void take_proxy_header(int fd, const struct sockaddr_storage& proxy) {
    char proxy_host[util::peer_host_size];
    const unsigned proxy_port = util::peer_text(proxy, proxy_host, sizeof proxy_host);
    channel::proxy_header header;
    const char* problem = nullptr;
    switch (channel::read_proxy_header(fd, &header, &problem)) {
        case channel::proxy_read::closed_at_once:
            // A plain TCP health check: it connects and goes, like a client
            // that leaves before the greeting.
            std::exit(1);
        case channel::proxy_read::failed:
            // A trusted address without a valid header is refused rather than
            // served as itself: otherwise every client of the proxy would be
            // logged, limited and throttled as the proxy.
            util::fatal(nullptr, "PROXY header refused from %s:%u: %s", proxy_host, proxy_port,
                        problem);
        case channel::proxy_read::header:
            break;
    }
    if (!header.has_client) {
        util::log_line(LOG_INFO, "PROXY header from %s:%u names no client (%s)", proxy_host,
                       proxy_port, header.kind);
        return;
    }
    util::set_client_address(header.client);
    util::log_line(LOG_INFO, "Client %s:%u via proxy %s:%u", util::client_host(),
                   util::client_port(), proxy_host, proxy_port);
    // The listener counted this connection in the total only; the client is
    // held to its per-address limit here, as a direct connection is there.
    const char* key = util::client_key(config::settings.ipv6_prefix_bits);
    const admission verdict = rekey_own_connection(key);
    if (verdict != admission::admitted) {
        refuse_connection(fd, key, verdict);
        std::exit(1);
    }
}

}  // namespace tollmar::server
