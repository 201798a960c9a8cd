// The listening process: daemon mode, the listening socket, signal handlers
// and the accept-and-fork loop.
#pragma once
#include <csignal>

namespace tollmar::server {

using signal_handler = void (*)(int);

// Detaches from the terminal (one fork, setsid, chdir "/", stdio on /dev/null).
// Returns 0, or -1 on failure.
int daemonize();

// Writes the pid file when in daemon mode; failures are silent.
void write_pid_file();

// Binds and listens; on failure logs, calls perror and exits with status 1.
int tcp_listen(const char* host, const char* service);

// sigaction with an empty mask and SA_RESTART (flags 0 for SIGALRM).
// Returns the previous handler, or SIG_ERR after logging.
signal_handler install_signal(int sig, signal_handler handler);

void reap_children(int sig);
void on_terminate(int sig);

[[noreturn]] void accept_loop(int listen_fd);

// Text form of a peer address for "Connection from %s:%u".
// Fills host (at least 46 bytes) and returns the port in host order.
unsigned peer_text(const struct sockaddr_storage& peer, char* host, unsigned host_size);

}  // namespace tollmar::server
