// tollmar: a forking POP3 server for mbox maildrops.
#include <csignal>
#include <cstring>

#include "config/command_line.hpp"
#include "config/settings.hpp"
#include "maildrop/scan.hpp"
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

    maildrop::prepare_scan();
    server::prepare_prelogin_jail();
    const int listen_fd = server::tcp_listen(settings.listen_address, settings.port);

    util::install_signal(SIGCHLD, server::reap_children);
    for (int sig : server::termination_signals) util::install_signal(sig, server::on_terminate);

    server::accept_loop(listen_fd);
}
