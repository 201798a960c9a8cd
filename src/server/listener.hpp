// The listening process: start-up (daemon mode, the pre-login jail's trial,
// the listening sockets, bound or taken over from a service manager), its
// signal handlers and the accept-and-fork loop. What runs in the connection
// process it forks is in connection.hpp.
#pragma once
#include <sys/socket.h>

#include <csignal>
#include <span>

namespace tollmar::server {

// Detaches from the terminal (one fork, setsid, chdir "/", stdio on /dev/null).
// Returns 0, or -1 on failure.
[[nodiscard]] int daemonize();

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

// Takes a listening socket into the set: non-blocking (poll may report a
// connection that is gone by the time accept runs) and closed on exec.
void take_listening_socket(int fd);

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

// Removes LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES from the environment, so
// that no child takes the sockets for its own.
void forget_activation_environment();

// Logs "Listening on <address> port <port>" once for every socket in the set.
void log_listeners();

// The listen backlog for a LISTENQ value (nullptr when unset): a whole
// positive decimal number as given; anything else is ignored with a warning
// in the log. Without a usable value, 1024.
int listen_backlog(const char* listenq);

// SIGTERM, SIGINT, SIGHUP, SIGQUIT. In the listening process: removes the pid
// file in daemon mode and ends with status 0 at once. In a connection process:
// only records the signal; the connection code exits at its next safe point.
void on_terminate(int sig);

// The termination signals on_terminate handles, in the order installed.
inline constexpr int termination_signals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

// Blocks (how = SIG_BLOCK) or unblocks (SIG_UNBLOCK) the termination signals,
// so that none arrives while a new process is not yet set up for it.
void mask_termination_signals(int how);

// Waits on every listening socket and hands each accepted connection to
// handle_connection.
[[noreturn]] void accept_loop();

// One accepted connection in the listening process: judges it against the
// connection limits (refusing it at once when over), logs "Connection from",
// forks the connection process into a claimed slot of the connection table
// and closes the listener's copy.
void handle_connection(int fd, const struct sockaddr_storage& peer);

}  // namespace tollmar::server
