// The connection process: one client, from the first byte to the end of its
// session, whether forked by the listener (handle_connection, listener.hpp)
// or started by inetd.
#pragma once
#include <sys/socket.h>

namespace tollmar::server {

// Prepares an accepted connection's socket: TCP_NODELAY, because every
// reply is already gathered into as few writes as possible, and Nagle's
// algorithm would hold back the last, short piece of a reply longer than one
// write until the client's delayed ACK (40 ms on Linux). Returns false, after
// logging, when the option cannot be set; the connection still works.
[[nodiscard]] bool prepare_connection_socket(int fd);

// Called in a new connection process while the termination signals are
// blocked: makes on_terminate defer its work and re-installs it without
// SA_RESTART, so that blocking calls return EINTR and the signal is acted on
// promptly.
void enter_connection_process();

// The connection process, with the termination signals blocked on entry:
// closes the listeners, sets the client address from peer, runs the session
// and ends the process.
[[noreturn]] void serve_connection(int fd, const struct sockaddr_storage& peer);

// True when the peer's address is one given to -r. (Its connections carry the
// real client in a PROXY header: the listener counts them in the total only,
// and their processes count them for the client the header names.)
bool is_trusted_proxy(const struct sockaddr_storage& peer);

// In the connection process of a trusted proxy's connection: reads the PROXY
// header and makes the client it names the client address, with a log line.
// A missing, late or malformed header ends the process (status 1) with
// "PROXY header refused from ...". A named client is held to the per-address
// limit in the shared connection table: over it, the connection is refused
// as the listener refuses one (see connection_limits.hpp) and the process
// ends with status 1.
void take_proxy_header(int fd, const struct sockaddr_storage& proxy);

// inetd mode (-i): the one connection on standard input, started by inetd or
// a socket with Accept=yes. Logs "Connection from" with the socket's peer and
// serves it as a forked connection process would; never returns.
[[noreturn]] void serve_inetd();

}  // namespace tollmar::server
