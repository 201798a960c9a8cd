// The maildrop phase: from an accepted login to a scanned maildrop, running
// as the account.
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
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
#include "maildrop/index.hpp"
#include "maildrop/lock.hpp"
#include "maildrop/mailbox.hpp"
#include "maildrop/path_check.hpp"
#include "maildrop/spool_folder.hpp"
#include "session/confinement.hpp"
#include "session/drop.hpp"
#include "session/phases.hpp"
#include "session/syscall_filter.hpp"
#include "util/log.hpp"
#include "util/signals.hpp"

namespace tollmar::session {

namespace {

// The first rule that applies: the path from the authentication file, the
// mbox in the account's home with -L, else the mail spool folder.
std::string resolve_maildrop_path(const passwd* pw, const char* account,
                                  const auth::login_result& login) {
    if (login.maildrop[0] != '\0') return login.maildrop;
    if (config::settings.home_mbox != nullptr)
        return std::string(pw->pw_dir) + "/" + config::settings.home_mbox;
    return std::string(config::settings.mail_spool_dir) + account;
}

void keep_lock_fresh() {
    maildrop::refresh_mailbox(drop);
}

// A mailbox in the user's home, or one named by the authentication file, lies
// in a folder the user may control; root must not create or remove files
// there (a symbolic link planted by the user could point anywhere). The lock
// is then taken with the account's effective user id.
bool lock_as_account(const auth::login_result& login) {
    return login.maildrop[0] != '\0' || config::settings.home_mbox != nullptr;
}

// The dot-lock, and with -X a foreign file under the index's name set aside
// (which, in a sticky folder, only the folder's owner can do).
bool lock_and_clear(uid_t uid, gid_t gid) {
    if (!maildrop::lock_mailbox(drop, uid, gid)) return false;
    if (config::settings.serve_from_maildrop) maildrop::set_aside_foreign_index(drop.path, uid);
    return true;
}

bool take_lock(uid_t uid, gid_t gid, bool as_account) {
    if (!as_account) return lock_and_clear(uid, gid);
    if (seteuid(uid) != 0) return false;
    const bool locked = lock_and_clear(uid, gid);
    const int saved = errno;
    if (seteuid(0) != 0) {
        // Still the account: the setuid in become_account fails and cleans up.
    }
    errno = saved;
    return locked;
}

// The session must not keep the supplementary groups of the process that
// started the server (root's among them): mail is its only group. A mapped
// account may run without it.
gid_t join_mail_group(int fd, bool mapped) {
    const group* gr = getgrnam("mail");
    if (gr == nullptr) {
        util::log_line(LOG_ERR, "%s", "group 'mail' not found");
        channel::end_session(fd, "-ERR [SYS/TEMP] group 'mail' not found\r\n");
    }
    const gid_t gid = gr->gr_gid;
    if (setgroups(1, &gid) != 0) {
        util::log_line(LOG_ERR, "%s: %u: %s", "setgroups() failed", static_cast<unsigned>(gid),
                       std::strerror(errno));
        channel::end_session(fd, "-ERR [SYS/TEMP] failed to join 'mail' group (setgroups)\r\n");
    }
    if (setegid(gid) != 0 && !mapped) {
        util::log_line(LOG_ERR, "%s: %u: %s", "setegid() failed", static_cast<unsigned>(gid),
                       std::strerror(errno));
        channel::end_session(fd, "-ERR [SYS/TEMP] failed to join 'mail' group (setegid)\r\n");
    }
    if (setgid(gid) != 0 && !mapped) {
        util::log_line(LOG_ERR, "%s: %u: %s", "setgid() failed", static_cast<unsigned>(gid),
                       std::strerror(errno));
        channel::end_session(fd, "-ERR [SYS/TEMP] failed to join 'mail' group (setgid)\r\n");
    }
    return gid;
}

// Checks the way to the maildrop, then takes its dot-lock. Before anything
// is made or read there: a link the user planted on the way could lead the
// lock and the scan into another user's mail.
void check_and_lock(int fd, const char* trusted, uid_t uid, gid_t gid, bool as_account) {
    if (!maildrop::maildrop_path_is_safe(drop.path, trusted, uid, gid))
        channel::end_session(fd, "-ERR [SYS/PERM] failed to scan maildrop contents\r\n");
    if (!take_lock(uid, gid, as_account)) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to lock maildrop", drop.path,
                       std::strerror(errno));
        channel::end_session(fd, "-ERR [IN-USE] failed to lock maildrop\r\n");
    }
}

// Switches to the account for good. After setuid the old identity must be
// gone: a process that can still become root has not dropped anything. The
// lock is already taken, so a failure cleans it up before replying: no
// SIGPIPE handler is installed yet, and a reply to a vanished client would
// end the process with the lock left.
void become_account(int fd, uid_t uid) {
    bool dropped = setuid(uid) == 0;
    if (dropped && uid != 0 && setuid(0) == 0) {
        dropped = false;
        errno = EPERM;
    }
    if (!dropped) {
        util::log_line(LOG_ERR, "%s: %u: %s", "setuid() failed", static_cast<unsigned>(uid),
                       std::strerror(errno));
        maildrop::close_mailbox(drop);
        channel::end_session(fd, "-ERR [SYS/TEMP] failed to set user identity\r\n");
    }
    if (seteuid(uid) != 0) {
        util::log_line(LOG_ERR, "%s: %u: %s", "seteuid() failed", static_cast<unsigned>(uid),
                       std::strerror(errno));
        maildrop::close_mailbox(drop);
        channel::end_session(fd, "-ERR [SYS/TEMP] failed to set effective user identity\r\n");
    }
    // Said outright rather than left to the kernel's setting for processes
    // that changed identity: the session holds what root read for it, and
    // no other process of the account may trace it or read its memory.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

// From here on the lock is cleaned up at every exit, kept fresh while the
// session waits, and a vanished client is acted on outside signal context.
void arm_cleanup() {
    maildrop::hold_for_exit(&drop);
    if (std::atexit(maildrop::close_held_mailbox) != 0) {
        util::log_line(LOG_WARNING, "%s: %s", "atexit() failed; lock files may fail to expire",
                       std::strerror(errno));
    }
    util::set_broken_pipe_action(maildrop::on_broken_pipe);
    util::install_signal(SIGPIPE, util::record_signal);
    channel::set_wait_hook(keep_lock_fresh);
}

[[noreturn]] void end_before_serving(int fd, const char* reply) {
    channel::send_text(fd, reply);
    maildrop::close_mailbox(drop);
    std::exit(1);
}

// The session's own spool folder, made as the account so that it is the
// account's from the start; then the maildrop is scanned into spool files.
// Served in place, the session makes no spool files and no folder for them.
// Returns the spool folder, nullptr when served in place.
const char* scan_as_account(int fd) {
    bool scanned = false;
    const char* spool_folder = nullptr;
    if (config::settings.serve_from_maildrop) {
        scanned = maildrop::scan_mailbox(drop, nullptr);
    } else {
        spool_folder = maildrop::make_session_spool_folder(config::settings.spool_tmp_dir);
        scanned = spool_folder != nullptr && maildrop::scan_mailbox(drop, spool_folder);
    }
    if (!scanned) end_before_serving(fd, "-ERR [SYS/PERM] failed to scan maildrop contents\r\n");
    return spool_folder;
}

// From here on the session reaches only its maildrop's folder and its spool
// folder (see confinement.hpp), and makes only the system calls its commands
// and its end need. A kernel without Landlock leaves the files as they were,
// with no word in the log: a line per login would say nothing new.
void confine(int fd, const char* path, const char* spool_folder) {
    const char* why = "";
    if (confine_session(path, config::settings.spool_tmp_dir, spool_folder, &why) !=
            confinement::failed &&
        install_session_filter(&why))
        return;
    util::log_line(LOG_ERR, "%s: %s: %s", "failed to confine the session", why,
                   std::strerror(errno));
    end_before_serving(fd, "-ERR [SYS/TEMP] failed to confine the session\r\n");
}

}  // namespace

void acquire_maildrop(int fd, const char* login_name, const auth::login_result& login) {
    const bool mapped = login.mapped_user[0] != '\0';
    const char* account = mapped ? login.mapped_user : login_name;

    errno = 0;
    const passwd* pw = getpwnam(account);
    if (pw == nullptr) {
        util::log_line(LOG_ERR, "%s: %s", "UID lookup failed", std::strerror(errno));
        channel::end_session(fd, "-ERR [SYS/TEMP] user no longer exists\r\n");
    }
    const uid_t uid = pw->pw_uid;
    const std::string home = pw->pw_dir;
    maildrop::name_mailbox(drop, resolve_maildrop_path(pw, account, login).c_str());

    const gid_t gid = join_mail_group(fd, mapped);
    // A mailbox in the home is trusted no further than the home; any other
    // path is checked from the root folder down.
    const char* trusted =
        config::settings.home_mbox != nullptr && login.maildrop[0] == '\0' ? home.c_str() : "/";
    check_and_lock(fd, trusted, uid, gid, lock_as_account(login));
    become_account(fd, uid);
    arm_cleanup();
    confine(fd, drop.path, scan_as_account(fd));
    channel::send_text(fd, "+OK\r\n");
}

}  // namespace tollmar::session
