#include "session/prelogin.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "auth/credentials.hpp"
#include "auth/login_throttle.hpp"
#include "channel/line_io.hpp"
#include "channel/tls.hpp"
#include "channel/tls_relay.hpp"
#include "config/settings.hpp"
#include "session/login_message.hpp"
#include "session/phases.hpp"
#include "session/syscall_filter.hpp"
#include "util/fatal.hpp"
#include "util/log.hpp"

namespace tollmar::session {

namespace {

// The socket pair to the root connection process.
int root_channel = -1;

// Log lines go to the root process, which writes them with its pid, so that
// every line of a connection carries the same pid. In the chroot there is no
// /dev/log to reconnect to anyway.
void forward_log(int priority, const char* line) {
    static unsigned char body[log_body_max];
    const std::size_t length = encode_log(priority, line, body);
    write_message(root_channel, message_log, body, length);
}

auth::login_verdict ask_root(const char* name, const char* password) {
    static unsigned char body[login_body_max];
    const std::size_t length = encode_login(name, password, body);
    const bool sent = length != 0 && write_message(root_channel, message_login, body, length);
    explicit_bzero(body, sizeof body);
    if (!sent) std::exit(1);

    static message reply;
    const char* why = nullptr;
    auth::login_verdict verdict = auth::verdict_refused;
    // The root process is gone or talks nonsense: nobody can answer.
    if (read_message(root_channel, reply, &why) != read_status::complete ||
        !decode_verdict(reply, verdict, &why))
        std::exit(1);
    return verdict;
}

bool limit(int resource, rlim_t value) {
    const struct rlimit r = {value, value};
    return setrlimit(resource, &r) == 0;
}

struct {
    bool resolved = false;
    uid_t uid = 0;
    gid_t gid = 0;
} prelogin_account;

bool jail_step(bool ok, const char* step, const char** why) {
    if (!ok) *why = step;
    return ok;
}

// Room for the TLS handshake and the relay's buffers, not for a process that
// grows without end; CPU for a long TLS session's encryption, not for a spin.
constexpr rlim_t most_address_space = 512 * 1024 * 1024;
constexpr rlim_t most_cpu_seconds = 3600;

#if defined(__SANITIZE_ADDRESS__)
// The leak check at exit traces the process, which the filter forbids: a
// sanitized jailed process ends without it.
void end_without_leak_check(int status, void*) {
    _exit(status);
}
#endif

// The limits of a jailed process; the address-space limit is left to a build
// with AddressSanitizer, which reserves far more address space than it uses.
bool lower_limits(const char** why) {
    bool ok = jail_step(limit(RLIMIT_NPROC, 0), "RLIMIT_NPROC", why) &&
              jail_step(limit(RLIMIT_FSIZE, 0), "RLIMIT_FSIZE", why) &&
              jail_step(limit(RLIMIT_CORE, 0), "RLIMIT_CORE", why) &&
              jail_step(limit(RLIMIT_NOFILE, 16), "RLIMIT_NOFILE", why) &&
              jail_step(limit(RLIMIT_CPU, most_cpu_seconds), "RLIMIT_CPU", why);
#if defined(__SANITIZE_ADDRESS__)
    on_exit(end_without_leak_check, nullptr);
#else
    ok = ok && jail_step(limit(RLIMIT_AS, most_address_space), "RLIMIT_AS", why);
#endif
    return ok;
}

// Leaves the client socket and the pair open as descriptors 3 and 4 and
// nothing else: standard input, output and error read and write /dev/null,
// and the log's socket is closed, so that nothing run here can write where
// the server does. Before the chroot, which has no /dev/null.
bool keep_only_connection(int& client_fd, int& root_fd) {
    closelog();
    const int null_fd = open("/dev/null", O_RDWR);
    const int client = fcntl(client_fd, F_DUPFD, 5);
    const int root = fcntl(root_fd, F_DUPFD, 5);
    if (null_fd < 0 || client < 0 || root < 0) return false;
    for (int fd = 0; fd < 3; ++fd) {
        if (dup2(null_fd, fd) < 0) return false;
    }
    if (dup2(client, 3) < 0 || dup2(root, 4) < 0) return false;
    if (close_range(5, ~0U, 0) != 0) {
        for (int fd = 5; fd < 1024; ++fd) close(fd);
    }
    client_fd = 3;
    root_fd = 4;
    return true;
}

}  // namespace

bool resolve_prelogin_user(const char** why) {
    if (prelogin_account.resolved) return true;
    errno = 0;
    const passwd* pw = getpwnam(config::settings.prelogin_user);
    if (pw == nullptr) {
        if (errno == 0) errno = ENOENT;
        *why = "no such pre-login user";
        return false;
    }
    if (pw->pw_uid == 0 || pw->pw_gid == 0) {
        errno = EPERM;
        *why = "the pre-login user must not be root";
        return false;
    }
    prelogin_account = {true, pw->pw_uid, pw->pw_gid};
    auth::set_prelogin_uid(pw->pw_uid);
    return true;
}

bool enter_prelogin_jail(const char** why) {
    const config::settings_record& s = config::settings;
    if (!resolve_prelogin_user(why)) return false;
    const uid_t uid = prelogin_account.uid;
    const gid_t gid = prelogin_account.gid;
    const pid_t parent = getppid();
    if (!jail_step(chroot(s.prelogin_root) == 0, "chroot", why) ||
        !jail_step(chdir("/") == 0, "chdir", why) ||
        !jail_step(setgroups(0, nullptr) == 0, "setgroups", why) ||
        !jail_step(setresgid(gid, gid, gid) == 0, "setresgid", why) ||
        !jail_step(setresuid(uid, uid, uid) == 0, "setresuid", why))
        return false;
    // A process that can still become root has not dropped anything.
    if (setuid(0) == 0 || geteuid() == 0 || getegid() == 0) {
        errno = EPERM;
        *why = "root could be regained";
        return false;
    }
    // The death signal is reset by the switch of identity, so it is set after
    // it; a parent that died before this line is caught by getppid.
    if (!jail_step(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0, "no-new-privileges", why) ||
        !jail_step(prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) == 0, "parent death signal", why))
        return false;
    if (getppid() != parent) {
        errno = ESRCH;
        *why = "the connection process ended";
        return false;
    }
    // With no file writes allowed, a stray write to a log file on standard
    // error fails instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    // Not dumpable: no core, and no process of the same account may trace it
    // or read its memory through /proc.
    return jail_step(prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0, "not dumpable", why) &&
           lower_limits(why) && install_syscall_filter(why);
}

void run_prelogin(int client_fd, int root_fd) {
    util::log_forwarder = forward_log;
    auth::end_login_throttle();
    const char* why = nullptr;
    if (!keep_only_connection(client_fd, root_fd)) why = "closing descriptors";
    root_channel = root_fd;
    if (why != nullptr || !enter_prelogin_jail(&why)) {
        // Logged through the forwarder to the root side, like every line of
        // this process.
        util::fatal(nullptr, "%s: %s: %s", "failed to enter the pre-login jail", why,
                    std::strerror(errno));
    }

    if (config::settings.use_tls) channel::tls_accept(client_fd);
    channel::send_text(client_fd, "+OK\r\n");

    static char command_line[command_buffer_size];
    static char login_name[command_buffer_size + 1];
    authorize(client_fd, command_line, login_name, ask_root);

    // Commands pipelined behind PASS belong to the session.
    static char pending[channel::reader_capacity];
    const std::size_t n = channel::take_pending_input(pending, sizeof pending);
    const bool handed = write_message(
        root_fd, channel::tls_active() ? message_handover_tls : message_handover, pending, n);
    explicit_bzero(pending, sizeof pending);
    if (!handed) std::exit(1);
    if (!channel::tls_active()) std::exit(0);

    // From here the socket pair carries the session's text: nothing else may
    // be written to it.
    util::log_forwarder = nullptr;
    // The session's last reply may still be on its way when the session
    // process exits: the relay must not die with it, and ends by itself when
    // the socket pair closes.
    prctl(PR_SET_PDEATHSIG, 0, 0, 0, 0);
    channel::tls_relay(client_fd, root_fd);
}

}  // namespace tollmar::session
