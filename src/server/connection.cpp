// The connection process: one client, from the first byte to the end of its
// session, whether forked by the listener or started by inetd.
#include <unistd.h>

#include <cstdlib>

#include "channel/proxy_header.hpp"
#include "server/connection.hpp"
#include "server/connection_limits.hpp"
#include "server/listener.hpp"
#include "session/session.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"
#include "util/signals.hpp"

namespace tollmar::server {

void serve_connection(int fd, const struct sockaddr_storage& peer) {
    close_listeners();
    enter_connection_process();
    mask_termination_signals(SIG_UNBLOCK);
    // A termination signal that arrived since fork ends the process here.
    util::act_on_pending_signals();
    util::set_client_address(peer);
    if (is_trusted_proxy(peer)) {
        take_proxy_header(fd, peer);
    } else {
        channel::refuse_stray_proxy_headers();
    }
    // The slot is keyed for good: no process of the session needs the table.
    leave_connection_table();
    session::run_session(fd);
    util::log_line(LOG_INFO, "Connection closed");
    std::exit(0);
}

}  // namespace tollmar::server
