// tollmar: a forking POP3 server for mbox maildrops.
#include <syslog.h>

#include <csignal>
#include <cstring>

#include "server/command_line.hpp"
#include "server/listener.hpp"
#include "server/settings.hpp"

using namespace tollmar::server;

int main(int argc, char** argv) {
    parse_command_line(argc, argv);

    if (settings.daemon_mode == 1) {
        daemonize();
        write_pid_file();
    }

    const char* slash = std::strrchr(argv[0], '/');
    openlog(slash != nullptr ? slash + 1 : argv[0], LOG_PID, LOG_MAIL);

    const int listen_fd = tcp_listen(settings.listen_address, settings.port);

    install_signal(SIGCHLD, reap_children);
    for (int sig : termination_signals) install_signal(sig, on_terminate);

    accept_loop(listen_fd);
}
