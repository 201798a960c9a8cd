#include "server/killed_sessions.hpp"

#include <grp.h>
#include <unistd.h>

#include <cstddef>

#include "auth/login_throttle.hpp"
#include "channel/tls.hpp"
#include "config/settings.hpp"
#include "maildrop/spool_folder.hpp"
#include "server/connection_limits.hpp"
#include "server/listener.hpp"

namespace tollmar::server {

namespace {

// Helpers running at once, and accounts waiting for one. An account dropped
// when more are waiting still has its folder swept by its next session.
constexpr std::size_t most_helpers = 4;
constexpr std::size_t most_pending = 64;

pid_t helpers[most_helpers] = {};
uid_t pending[most_pending] = {};
std::size_t pending_count = 0;

bool forget_helper(pid_t pid) {
    for (pid_t& helper : helpers) {
        if (helper == pid) {
            helper = 0;
            return true;
        }
    }
    return false;
}

pid_t* free_helper_slot() {
    for (pid_t& helper : helpers)
        if (helper == 0) return &helper;
    return nullptr;
}

// The session's identity (the account, group mail), checked as the session
// checks it: a process that can still become root has dropped nothing.
bool become_account(uid_t uid) {
    const group* mail = getgrnam("mail");
    if (mail == nullptr) return false;
    const gid_t gid = mail->gr_gid;
    if (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0) return false;
    return setuid(0) != 0;
}

[[noreturn]] void run_helper(uid_t uid) {
    // The listener's handlers would remove its pid file on SIGTERM.
    for (int sig : termination_signals) signal(sig, SIG_DFL);
    mask_termination_signals(SIG_UNBLOCK);
    close_listeners();
    // Nothing of root's goes with it to the account, as with a session: not
    // the shared tables (the throttle's secret and entries, the connection
    // counts), not the TLS context with its private key.
    leave_connection_table();
    auth::end_login_throttle();
    channel::tls_forget_context();
    if (become_account(uid))
        (void)maildrop::sweep_dead_session_folders(config::settings.spool_tmp_dir, uid);
    _exit(0);  // a child of the listener: none of the listener's exit-time work
}

}  // namespace

void note_reaped_child(const siginfo_t& info) {
    if (forget_helper(info.si_pid)) return;
    if (info.si_code != CLD_KILLED && info.si_code != CLD_DUMPED) return;
    if (info.si_uid == 0) return;
    for (std::size_t i = 0; i < pending_count; ++i)
        if (pending[i] == info.si_uid) return;
    if (pending_count < most_pending) pending[pending_count++] = info.si_uid;
}

void sweep_after_killed_sessions() {
    while (pending_count > 0) {
        pid_t* slot = free_helper_slot();
        if (slot == nullptr) return;  // the next helper to end calls again
        const uid_t uid = pending[pending_count - 1];
        mask_termination_signals(SIG_BLOCK);
        const pid_t pid = fork();
        if (pid == 0) run_helper(uid);
        mask_termination_signals(SIG_UNBLOCK);
        if (pid < 0) return;  // tried again at the next reap
        *slot = pid;
        --pending_count;
    }
}

}  // namespace tollmar::server
