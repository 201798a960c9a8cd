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

namespace {

[[maybe_unused]] void end_without_finalisers(int status, void*) {
    _exit(status);
}

}  // namespace

void serve_connection(int fd, const struct sockaddr_storage& peer) {
#if !defined(__SANITIZE_ADDRESS__)
    // Registered first, so it runs after every clean-up the session arms
    // later (the lock, the spool files, the summary line), and ends the
    // process there: nothing else is owed. The libraries' destructors and
    // the loader's finalisers would walk page after page the listener left
    // mapped, copying each one they write to, only to end. (A sanitized
    // build keeps them for its leak check.)
    on_exit(end_without_finalisers, nullptr);
#endif
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
