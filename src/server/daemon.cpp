// Detaching into the background and recording the listener's process ID.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "config/settings.hpp"
#include "server/listener.hpp"
#include "util/fatal.hpp"

namespace tollmar::server {

int daemonize() {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    // The parent's exit must not run at-exit work meant for the server.
    if (pid > 0) _exit(0);

    if (setsid() < 0) return -1;
    (void)chdir("/");

    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) return -1;
    dup2(null_fd, STDIN_FILENO);
    dup2(null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    if (null_fd > STDERR_FILENO) close(null_fd);
    util::note_serving();
    return 0;
}

void write_pid_file() {
    if (!config::settings.daemon_mode) return;
    std::FILE* file = std::fopen(config::settings.pid_file, "w+");
    if (file == nullptr) return;
    std::fprintf(file, "%u", static_cast<unsigned>(getpid()));
    std::fclose(file);
}

}  // namespace tollmar::server
