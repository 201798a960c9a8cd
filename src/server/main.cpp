// tollmar: a forking POP3 server for mbox maildrops.
#include <grp.h>
#include <limits.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "auth/login_throttle.hpp"
#include "channel/tls.hpp"
#include "config/command_line.hpp"
#include "config/settings.hpp"
#include "server/child_reaping.hpp"
#include "server/connection.hpp"
#include "server/connection_limits.hpp"
#include "server/listener.hpp"
#include "util/fatal.hpp"
#include "util/log.hpp"
#include "util/signals.hpp"

using namespace tollmar;

namespace {

// Every library function bound once, in the listener before its first fork.
// The executable is linked for immediate binding, but the C and C++ runtime
// libraries are not, and the loader binds a library at start only when
// LD_BIND_NOW is set: without it each connection process would look up
// afresh every function the listener never called (the accounts, the jail,
// the maildrop) and copy the page of the table it writes. So the listener
// sets it and runs itself again: the same process, with its pid, arguments
// and descriptors. Should that fail it runs on, binding lazily.
void bind_every_library_now(char** argv) {
    // Started through the loader by hand ("ld.so tollmar ..."), the process
    // has no interpreter of its own and /proc/self/exe is the loader.
    if (getauxval(AT_BASE) == 0) return;
    if (std::getenv("LD_BIND_NOW") != nullptr || setenv("LD_BIND_NOW", "1", 1) != 0) return;
    execv("/proc/self/exe", argv);
    unsetenv("LD_BIND_NOW");
}

// Run again through /proc/self/exe, the process is named "exe" in ps, top
// and pgrep; it gets back the name of its file, the one it started with.
void restore_process_name() {
    char name[16];
    if (prctl(PR_GET_NAME, name) != 0 || std::strcmp(name, "exe") != 0) return;
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return;
    path[length] = '\0';
    const char* slash = std::strrchr(path, '/');
    prctl(PR_SET_NAME, slash != nullptr ? slash + 1 : path);
}

}  // namespace

int main(int argc, char** argv) {
    config::parse_command_line(argc, argv);
    // inetd mode serves one connection: an exec more would cost it more.
    if (!config::settings.inetd_mode) bind_every_library_now(argv);
    restore_process_name();
    const config::settings_record& settings = config::settings;
    const char* slash = std::strrchr(argv[0], '/');
    const char* ident = slash != nullptr ? slash + 1 : argv[0];

    if (settings.inetd_mode) {
        util::open_log(ident, settings.log_to_stderr);
        server::serve_inetd();
    }

    // Before detaching: LISTEN_PID names the process the manager started.
    const unsigned activated = server::take_activated_sockets();

    // A certificate or key that cannot serve is reported now, on the terminal
    // too, rather than found at the first client; the server still starts,
    // since the files are looked at again before every connection and may be
    // fixed without a restart.
    char tls_problem[512] = "";
    if (config::tls_configured() &&
        !channel::tls_prepare_shared_context(tls_problem, sizeof tls_problem) &&
        (!settings.log_to_stderr || settings.daemon_mode)) {
        // With -e in the foreground the log line below reaches the terminal.
        std::fprintf(stderr, "%s: %s\n", argv[0], tls_problem);
    }

    if (settings.daemon_mode) {
        if (server::daemonize() != 0)
            util::fatal(nullptr, "%s: %s", "failed to detach", std::strerror(errno));
        server::write_pid_file();
    }

    util::open_log(ident, settings.log_to_stderr);
    if (tls_problem[0] != '\0') util::log_line(LOG_ERR, "%s", tls_problem);

    server::prepare_prelogin_jail();
    // Where no name-service cache daemon runs, the C library learns so from
    // a look-up that tries its socket twice in vain, and then leaves it alone
    // for a while. Learnt here once for groups (the pre-login account above
    // did it for accounts), every connection process inherits it instead of
    // trying again at its look-up of group mail.
    (void)getgrnam("mail");
    // Before the first fork, so that every connection process shares them.
    if (!auth::init_login_throttle()) {
        // Logged; the server still serves, without delaying repeated refusals.
    }
    server::init_connection_limits();

    // The handlers come first: a client (or a test) may see the port the
    // moment it is bound, and a SIGTERM from then on must end us cleanly.
    // SIGCHLD without SA_RESTART, so that an ended session interrupts the
    // wait and is reaped at once.
    util::install_interrupting_signal(SIGCHLD, server::note_child_ended);
    for (int sig : server::termination_signals) util::install_signal(sig, server::on_terminate);

    if (activated == 0) server::listen_on_configured_addresses();
    server::log_listeners();
    util::note_serving();

    server::accept_loop();
}
