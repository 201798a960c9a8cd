// The listening process: daemon mode, the listening socket, signal handlers
// and the accept-and-fork loop.
#pragma once
#include <sys/socket.h>

#include <csignal>

namespace tollmar::server {

// Detaches from the terminal (one fork, setsid, chdir "/", stdio on /dev/null).
// Returns 0, or -1 on failure.
int daemonize();

// Writes the pid file when in daemon mode; failures are silent.
void write_pid_file();

// Creates the pre-login processes' empty root folder when missing, checks
// it, and has a child enter the pre-login jail once. Any failure is logged,
// printed on standard error and ends the process with status 1.
void prepare_prelogin_jail();

// Binds and listens; on failure logs, calls perror and exits with status 1.
int tcp_listen(const char* host, const char* service);

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
// connection table; errno is preserved. Called by the listener in normal
// context after SIGCHLD was recorded (see connection_limits.hpp).
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

[[noreturn]] void accept_loop(int listen_fd);

// Text form of a peer address for "Connection from %s:%u": IPv4 and
// IPv4-mapped IPv6 peers as a dotted quad, other IPv6 peers in their usual
// text form. Fills host (at least 46 bytes) and returns the port in host order.
unsigned peer_text(const struct sockaddr_storage& peer, char* host, unsigned host_size);

}  // namespace tollmar::server
