// The maildrop phase: from an accepted login to a scanned maildrop, running
// as the account.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "auth/credentials.hpp"
#include "channel/line_io.hpp"
#include "config/settings.hpp"
#include "maildrop/lock.hpp"
#include "maildrop/maildrop_path.hpp"
#include "maildrop/path_check.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/update.hpp"
#include "session/phases.hpp"
#include "util/log.hpp"
#include "util/signals.hpp"

namespace tollmar::session {

namespace {

// A bound on the clean-up at login; what is left goes at later logins.
constexpr std::size_t dead_spool_files_per_login = 4096;

[[noreturn]] void fail(int fd, const char* reply) {
    channel::send_text(fd, reply);
    std::exit(1);
}

// The first rule that applies: the path from the authentication file, the
// mbox in the account's home with -L, else the mail spool folder.
std::string resolve_maildrop_path(const passwd* pw, const char* account) {
    const char* override_path = auth::session_identity.maildrop_override;
    if (override_path[0] != '\0') return override_path;
    if (config::settings.home_mbox != nullptr)
        return std::string(pw->pw_dir) + "/" + config::settings.home_mbox;
    return std::string(config::settings.mail_spool_dir) + account;
}

void keep_lock_fresh() {
    if (const char* path = maildrop::maildrop_path()) maildrop::refresh_maildrop_lock(path);
}

// A mailbox in the user's home, or one named by the authentication file, lies
// in a folder the user may control; root must not create or remove files
// there (a symbolic link planted by the user could point anywhere). The lock
// is then taken with the account's effective user id.
bool lock_as_account() {
    return auth::session_identity.maildrop_override[0] != '\0' ||
           config::settings.home_mbox != nullptr;
}

bool take_lock(const char* path, uid_t uid, gid_t gid) {
    if (!lock_as_account()) return maildrop::lock_maildrop(path, uid, gid);
    if (seteuid(uid) != 0) return false;
    const bool locked = maildrop::lock_maildrop(path, uid, gid);
    const int saved = errno;
    if (seteuid(0) != 0) {
        // Still the account: the setuid below fails and cleans up.
    }
    errno = saved;
    return locked;
}

}  // namespace

void acquire_maildrop(int fd, const char* login_name) {
    const char* mapped_user = auth::session_identity.mapped_user;
    const char* account = mapped_user[0] != '\0' ? mapped_user : login_name;

    errno = 0;
    const passwd* pw = getpwnam(account);
    if (pw == nullptr) {
        util::log_line(LOG_ERR, "%s: %s", "UID lookup failed", std::strerror(errno));
        fail(fd, "-ERR [SYS/TEMP] user no longer exists\r\n");
    }
    const uid_t uid = pw->pw_uid;
    const std::string home = pw->pw_dir;
    const std::string path = resolve_maildrop_path(pw, account);
    maildrop::remember_maildrop_path(path.c_str());

    const group* gr = getgrnam("mail");
    if (gr == nullptr) {
        util::log_line(LOG_ERR, "%s", "group 'mail' not found");
        fail(fd, "-ERR [SYS/TEMP] group 'mail' not found\r\n");
    }
    const gid_t gid = gr->gr_gid;

    // The session must not keep the supplementary groups of the process that
    // started the server (root's among them): mail is its only group.
    if (setgroups(1, &gid) != 0) {
        util::log_line(LOG_ERR, "%s: %u: %s", "setgroups() failed", static_cast<unsigned>(gid),
                       std::strerror(errno));
        fail(fd, "-ERR [SYS/TEMP] failed to join 'mail' group (setgroups)\r\n");
    }
    if (setegid(gid) != 0 && mapped_user[0] == '\0') {
        util::log_line(LOG_ERR, "%s: %u: %s", "setegid() failed", static_cast<unsigned>(gid),
                       std::strerror(errno));
        fail(fd, "-ERR [SYS/TEMP] failed to join 'mail' group (setegid)\r\n");
    }
    if (setgid(gid) != 0 && mapped_user[0] == '\0') {
        util::log_line(LOG_ERR, "%s: %u: %s", "setgid() failed", static_cast<unsigned>(gid),
                       std::strerror(errno));
        fail(fd, "-ERR [SYS/TEMP] failed to join 'mail' group (setgid)\r\n");
    }

    // Before anything is made or read there: a link the user planted on the
    // way could lead the lock and the scan into another user's mail.
    const char* trusted =
        config::settings.home_mbox != nullptr && auth::session_identity.maildrop_override[0] == '\0'
            ? home.c_str()
            : "/";
    if (!maildrop::maildrop_path_is_safe(path.c_str(), trusted, uid, gid)) {
        maildrop::forget_maildrop_path();
        fail(fd, "-ERR [SYS/PERM] failed to scan maildrop contents\r\n");
    }

    if (!take_lock(path.c_str(), uid, gid)) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to lock maildrop", path.c_str(),
                       std::strerror(errno));
        maildrop::forget_maildrop_path();
        fail(fd, "-ERR [IN-USE] failed to lock maildrop\r\n");
    }

    // After setuid the old identity must be gone for good: a process that can
    // still become root has not dropped anything.
    bool dropped = setuid(uid) == 0;
    if (dropped && uid != 0 && setuid(0) == 0) {
        dropped = false;
        errno = EPERM;
    }
    if (!dropped) {
        util::log_line(LOG_ERR, "%s: %u: %s", "setuid() failed", static_cast<unsigned>(uid),
                       std::strerror(errno));
        // Clean up first: no SIGPIPE handler is installed yet, and a reply
        // to a vanished client would end the process with the lock left.
        maildrop::cleanup_at_exit();
        fail(fd, "-ERR [SYS/TEMP] failed to set user identity\r\n");
    }
    if (seteuid(uid) != 0) {
        util::log_line(LOG_ERR, "%s: %u: %s", "seteuid() failed", static_cast<unsigned>(uid),
                       std::strerror(errno));
        maildrop::cleanup_at_exit();
        fail(fd, "-ERR [SYS/TEMP] failed to set effective user identity\r\n");
    }

    if (std::atexit(maildrop::cleanup_at_exit) != 0) {
        util::log_line(LOG_WARNING, "%s: %s", "atexit() failed; lock files may fail to expire",
                       std::strerror(errno));
    }
    util::set_broken_pipe_action(maildrop::on_broken_pipe);
    util::install_signal(SIGPIPE, util::record_signal);
    channel::set_wait_hook(keep_lock_fresh);

    // Copies that killed sessions of this account left behind (a SIGKILL
    // skips the clean-up); as the account, so only its own files can go.
    // Served in place, the session makes no spool files and leaves the
    // folder alone.
    const bool in_place = config::settings.serve_from_maildrop;
    if (!in_place)
        (void)maildrop::sweep_dead_spool_files(config::settings.spool_tmp_dir, uid,
                                               dead_spool_files_per_login);
    const bool scanned =
        in_place ? maildrop::scan_maildrop_in_place(path.c_str())
                 : maildrop::scan_maildrop(path.c_str(), config::settings.spool_tmp_dir);
    if (!scanned) {
        channel::send_text(fd, "-ERR [SYS/PERM] failed to scan maildrop contents\r\n");
        maildrop::remove_spool_files();
        maildrop::cleanup_at_exit();
        std::exit(1);
    }
    channel::send_text(fd, "+OK\r\n");
}

}  // namespace tollmar::session
