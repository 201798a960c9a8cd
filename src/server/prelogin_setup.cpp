// The start-up checks for the pre-login processes: their empty root folder,
// and a trial of the whole jail, so that a server that lacks the rights for it
// (CAP_SYS_CHROOT, CAP_SETUID, CAP_SETGID) or names an unknown -u user stops
// at start instead of failing every connection.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/settings.hpp"
#include "server/listener.hpp"
#include "session/prelogin.hpp"
#include "session/syscall_filter.hpp"
#include "util/fatal.hpp"
#include "util/strlcpy.hpp"

namespace tollmar::server {

namespace {

// Creates each missing folder of the absolute path, mode 0755.
void make_folders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            util::fatal(nullptr, "%s: %s: %s", "failed to create the pre-login folder",
                        part.c_str(), std::strerror(errno));
        if (slash == std::string::npos) return;
    }
}

// A folder of root's that nobody else may change and that holds nothing: the
// pre-login process sees nothing but it.
const char* empty_root_problem(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0) return std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return "not a folder";
    if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "not a folder only root may change";
    DIR* dir = opendir(path);
    if (dir == nullptr) return std::strerror(errno);
    const char* problem = nullptr;
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            problem = "not empty";
            break;
        }
    }
    closedir(dir);
    return problem;
}

// Reads what the trial process reports until it closes its end: nothing
// when it is in the jail, else why not.
void read_report(int fd, char* text, std::size_t size) {
    ssize_t got = 0;
    for (;;) {
        got = read(fd, text, size - 1);
        if (got >= 0 || errno != EINTR) break;
    }
    text[got > 0 ? got : 0] = '\0';
}

// Enters the jail in a child, as each connection will, and ends it from
// here: a pre-login process that has dropped its parent-death signal and
// does not end by itself is ended only by this kill at the login deadline,
// and the kill of another account's process needs CAP_KILL.
void try_the_jail() {
    int report[2], release[2];
    if (pipe(report) != 0 || pipe(release) != 0)
        util::fatal(nullptr, "%s: %s: %s", "failed to try the pre-login jail", "pipe",
                    std::strerror(errno));
    const pid_t pid = fork();
    if (pid < 0)
        util::fatal(nullptr, "%s: %s: %s", "failed to try the pre-login jail", "fork",
                    std::strerror(errno));
    if (pid == 0) {
        close(report[0]);
        close(release[1]);
        // The trial ends with _exit and reports through the pipe: in the jail
        // it has no log, and exit would do the parent's exit-time work (flush
        // its copied stdio buffers a second time, run finalisers).
        const char* why = nullptr;
        if (session::enter_prelogin_jail(&why)) {
            close(report[1]);
            char byte;  // held until the kill, or until released when it failed
            _exit(read(release[0], &byte, 1) < 0 ? 2 : 0);
        }
        char text[256];
        const int n = std::snprintf(text, sizeof text, "%s: %s", why, std::strerror(errno));
        if (n > 0 && write(report[1], text, std::strlen(text)) < 0) _exit(2);
        _exit(1);
    }
    close(report[1]);
    close(release[0]);
    char text[256];
    read_report(report[0], text, sizeof text);
    close(report[0]);
    if (text[0] == '\0' && kill(pid, SIGKILL) != 0)
        std::snprintf(text, sizeof text, "%s: %s", "kill", std::strerror(errno));
    close(release[1]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    if (text[0] == '\0' && !killed) util::strlcpy(text, "the trial ended abnormally", sizeof text);
    if (text[0] != '\0')
        util::fatal(nullptr, "%s: %s: %s", "failed to enter the pre-login jail",
                    config::settings.prelogin_user, text);
}

}  // namespace

void prepare_prelogin_jail() {
    const char* root = config::settings.prelogin_root;
    make_folders(root);
    if (const char* problem = empty_root_problem(root))
        util::fatal(nullptr, "%s: %s: %s", "unusable pre-login folder", root, problem);

    const char* why = nullptr;
    if (!session::resolve_prelogin_user(&why))
        util::fatal(nullptr, "%s: %s: %s", "failed to enter the pre-login jail",
                    config::settings.prelogin_user,
                    (std::string(why) + ": " + std::strerror(errno)).c_str());
    // Compiled once here; each connection's jail only loads it.
    if (!session::prepare_syscall_filter(&why))
        util::fatal(nullptr, "%s: %s: %s", "failed to try the pre-login jail", why,
                    std::strerror(errno));

    try_the_jail();
}

}  // namespace tollmar::server
