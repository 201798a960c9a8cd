// tollmar: a forking POP3 server for mbox maildrops.
#include <csignal>
#include <cstring>

#include "auth/login_throttle.hpp"
#include "config/command_line.hpp"
#include "config/settings.hpp"
#include "server/connection_limits.hpp"
#include "server/listener.hpp"
#include "util/log.hpp"
#include "util/signals.hpp"

using namespace tollmar;

int main(int argc, char** argv) {
    config::parse_command_line(argc, argv);
    const config::settings_record& settings = config::settings;

    if (settings.daemon_mode) {
        server::daemonize();
        server::write_pid_file();
    }

    const char* slash = std::strrchr(argv[0], '/');
    util::open_log(slash != nullptr ? slash + 1 : argv[0], settings.log_to_stderr);

    const int listen_fd = server::tcp_listen(settings.listen_address, settings.port);
    // Before the first fork, so that every connection process shares it.
    auth::init_login_throttle();

    // Without SA_RESTART, so that an ended session interrupts accept and is
    // reaped at once.
    util::install_interrupting_signal(SIGCHLD, server::note_child_ended);
    for (int sig : server::termination_signals) util::install_signal(sig, server::on_terminate);

    server::accept_loop(listen_fd);
}
