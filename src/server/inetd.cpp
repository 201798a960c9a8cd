// inetd mode (-i): inetd, xinetd or a socket unit with Accept=yes has
// accepted the connection and started us with it on standard input and
// output.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "auth/login_throttle.hpp"
#include "config/settings.hpp"
#include "server/connection.hpp"
#include "server/listener.hpp"
#include "util/fatal.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"

namespace tollmar::server {

namespace {

bool same_file(int fd, const struct stat& connection) {
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_dev == connection.st_dev && st.st_ino == connection.st_ino;
}

// The session reads and writes descriptor 0 and closes it right after its
// reply to QUIT, so that the client is done before the maildrop is
// rewritten. Other copies of the connection would keep it open: standard
// output (and standard error, when inetd hands the socket there too, where a
// diagnostic would reach the client) go to /dev/null, and the copy a socket
// unit also passes as descriptor 3 is closed.
void keep_only_standard_input(const struct stat& connection) {
    const int null_fd = open("/dev/null", O_RDWR);
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        if (null_fd >= 0 && same_file(fd, connection)) dup2(null_fd, fd);
    }
    if (null_fd > STDERR_FILENO) close(null_fd);
    const char* count_text = std::getenv("LISTEN_FDS");
    const int count = count_text != nullptr ? std::atoi(count_text) : 0;
    for (int fd = 3; fd < 3 + count && fd < 3 + static_cast<int>(max_listeners); ++fd) {
        if (same_file(fd, connection)) close(fd);
    }
    forget_activation_environment();
}

}  // namespace

void serve_inetd() {
    mask_termination_signals(SIG_BLOCK);
    struct stat connection;
    struct sockaddr_storage peer {};
    socklen_t peer_size = sizeof peer;
    if (fstat(STDIN_FILENO, &connection) != 0 ||
        getpeername(STDIN_FILENO, reinterpret_cast<struct sockaddr*>(&peer), &peer_size) != 0) {
        // Logged only, not util::fatal: what inetd hands a service as
        // standard error may be the connection itself.
        util::log_line(LOG_ERR, "%s", "inetd mode: standard input is not a connected socket");
        std::exit(1);
    }
    keep_only_standard_input(connection);
    // The pre-login process needs its jail as under the listener (which also
    // makes the folder of the throttle's file). The login throttle has no
    // listener to share its tables from: every connection started by inetd
    // maps them from one file instead (logged when that fails; logins are
    // then not delayed).
    prepare_prelogin_jail();
    (void)auth::init_login_throttle(config::settings.login_throttle_file);
    char host[util::peer_host_size];
    const unsigned port = util::peer_text(peer, host, sizeof host);
    util::log_line(LOG_INFO, "Connection from %s:%u", host, port);
    // Logged when it fails; the connection works without the option.
    (void)prepare_connection_socket(STDIN_FILENO);
    util::note_serving();
    serve_connection(STDIN_FILENO, peer);
}

}  // namespace tollmar::server
