// The listening process: daemon mode, the listening sockets, signal handlers
// and the accept-and-fork loop; and the connection process it forks (or that
// inetd starts).
#pragma once
#include <sys/socket.h>

#include <csignal>
#include <span>

#include "util/peer_address.hpp"

namespace tollmar::server {

using util::client_address;
using util::peer_text;
using util::set_client_address;

// Detaches from the terminal (one fork, setsid, chdir "/", stdio on /dev/null).
// Returns 0, or -1 on failure.
int daemonize();

// Writes the pid file when in daemon mode; failures are silent.
void write_pid_file();

// Creates the pre-login processes' empty root folder when missing, checks
// it, and has a child enter the pre-login jail once. Any failure is logged,
// printed on standard error and ends the process with status 1.
void prepare_prelogin_jail();

// The process-wide set of listening sockets, in the order they were added.
// Every connection process closes them all.
inline constexpr unsigned max_listeners = 64;
std::span<const int> listeners();
void add_listener(int fd);  // more than max_listeners: a message and exit status 1
void close_listeners();

// Binds and listens on every address host resolves to, adding each socket to
// the set; returns how many. host nullptr: every address of both families
// (one dual-stack IPv6 socket, or IPv4 alone where the host has no IPv6). An
// address that cannot be bound is skipped with a warning when another one is
// bound; when none is, it logs, calls perror and exits with status 1.
unsigned tcp_listen(const char* host, const char* service);

// tcp_listen for each -l address, or for any address without -l.
void listen_on_configured_addresses();

// Socket activation: when LISTEN_PID names this process, takes the LISTEN_FDS
// descriptors from 3 on into the set and returns how many; 0 when the service
// manager passed none. A descriptor that is not a listening TCP socket ends
// the process (message on standard error, status 1). The variables are
// removed from the environment either way.
unsigned take_activated_sockets();

// Logs "Listening on <address> port <port>" once for every socket in the set.
void log_listeners();

// Prepares an accepted connection's socket: TCP_NODELAY, because every
// reply is already gathered into as few writes as possible, and Nagle's
// algorithm would hold back the last, short piece of a reply longer than one
// write until the client's delayed ACK (40 ms on Linux). Returns false, after
// logging, when the option cannot be set; the connection still works.
bool prepare_connection_socket(int fd);

// The listen backlog for a LISTENQ value (nullptr when unset): atoi of the
// text, or 1024 without one.
int listen_backlog(const char* listenq);

// Reaps every ended child without blocking and drops each from the
// connection table; for sessions killed by a signal, starts the clean-up of
// their spool folders (killed_sessions.hpp); errno is preserved. Called by
// the listener in normal context after SIGCHLD was recorded (see
// connection_limits.hpp).
void reap_children(int sig);

// SIGTERM, SIGINT, SIGHUP, SIGQUIT. In the listening process: removes the pid
// file in daemon mode and ends with status 0 at once. In a connection process:
// only records the signal; the connection code exits at its next safe point.
void on_terminate(int sig);

// The termination signals on_terminate handles, in the order installed.
inline constexpr int termination_signals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

// Blocks (how = SIG_BLOCK) or unblocks (SIG_UNBLOCK) the termination signals,
// so that none arrives while a new process is not yet set up for it.
void mask_termination_signals(int how);

// Called in a new connection process while the termination signals are
// blocked: makes on_terminate defer its work and re-installs it without
// SA_RESTART, so that blocking calls return EINTR and the signal is acted on
// promptly.
void enter_connection_process();

// Waits on every listening socket and hands each accepted connection to
// handle_connection.
[[noreturn]] void accept_loop();

// One accepted connection in the listening process: judges it against the
// connection limits (refusing it at once when over), logs "Connection from",
// forks the connection process into a claimed slot of the connection table
// and closes the listener's copy.
void handle_connection(int fd, const struct sockaddr_storage& peer);

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
