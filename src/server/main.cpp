// tollmar: a forking POP3 server for mbox maildrops.
#include <csignal>
#include <cstring>

#include "config/command_line.hpp"
#include "config/settings.hpp"
#include "server/listener.hpp"
#include "util/log.hpp"
#include "util/signals.hpp"

using namespace tollmar;

int main(int argc, char** argv) {
    config::parse_command_line(argc, argv);
    const config::settings_record& settings = config::settings;
    const char* slash = std::strrchr(argv[0], '/');
    const char* ident = slash != nullptr ? slash + 1 : argv[0];

    if (settings.inetd_mode) {
        util::open_log(ident, settings.log_to_stderr);
        server::serve_inetd();
    }

    // Before detaching: LISTEN_PID names the process the manager started.
    const unsigned activated = server::take_activated_sockets();

    if (settings.daemon_mode) {
        server::daemonize();
        server::write_pid_file();
    }

    util::open_log(ident, settings.log_to_stderr);

    // The handlers come first: a client (or a test) may see the port the
    // moment it is bound, and a SIGTERM from then on must end us cleanly.
    util::install_signal(SIGCHLD, server::reap_children);
    for (int sig : server::termination_signals) util::install_signal(sig, server::on_terminate);

    if (activated == 0) server::listen_on_configured_addresses();
    server::log_listeners();

    server::accept_loop();
}
