// Needs root: the helper becomes the account of the killed session.
#include "server/killed_sessions.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "config/settings.hpp"
#include "maildrop/origin.hpp"
#include "support/temp_folder.hpp"

namespace tollmar::test {
namespace {

using server::note_reaped_child;
using server::sweep_after_killed_sessions;

constexpr uid_t account = 65534;

siginfo_t ended(pid_t pid, int code, uid_t uid) {
    siginfo_t info{};
    info.si_pid = pid;
    info.si_code = code;
    info.si_uid = uid;
    return info;
}

pid_t dead_pid() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

// The helper a sweep started, waited for; its pid, or 0 when none was started.
pid_t wait_for_helper(siginfo_t* info) {
    *info = siginfo_t{};
    if (::waitid(P_ALL, 0, info, WEXITED) != 0) return 0;
    return info->si_pid;
}

void make_owned_folder(const std::string& path) {
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path;
    ASSERT_EQ(::chown(path.c_str(), account, account), 0) << path;
}

TEST(KilledSessions, AHelperAsTheAccountClearsTheFoldersOfItsDeadSessionsOnly) {
    ASSERT_EQ(::geteuid(), 0u);
    ASSERT_NE(maildrop::origin_tag(), 0u);
    const std::string spool = make_temp_folder("tollmar-killed");
    ASSERT_EQ(::chmod(spool.c_str(), 01777), 0);
    config::settings.spool_tmp_dir = spool.c_str();
    const std::string folder = spool + "/.tollmar-" + std::to_string(account) + "-" +
                               std::to_string(maildrop::origin_tag());
    make_owned_folder(folder);
    const std::string dead = folder + "/" + std::to_string(dead_pid());
    const std::string live = folder + "/" + std::to_string(::getpid());
    make_owned_folder(dead);
    make_owned_folder(live);

    // Ended on its own, or never became an account: nothing to do.
    note_reaped_child(ended(dead_pid(), CLD_EXITED, account));
    note_reaped_child(ended(dead_pid(), CLD_KILLED, 0));
    sweep_after_killed_sessions();
    siginfo_t info;
    EXPECT_EQ(wait_for_helper(&info), 0);
    EXPECT_EQ(errno, ECHILD);

    // Killed after it became the account: one helper for it.
    note_reaped_child(ended(dead_pid(), CLD_KILLED, account));
    note_reaped_child(ended(dead_pid(), CLD_DUMPED, account));
    sweep_after_killed_sessions();
    const pid_t helper = wait_for_helper(&info);
    ASSERT_GT(helper, 0);
    EXPECT_EQ(info.si_code, CLD_EXITED);
    EXPECT_EQ(::access(dead.c_str(), F_OK), -1);
    EXPECT_EQ(::access(live.c_str(), F_OK), 0);

    // A helper that died by a signal is not taken for a killed session.
    info.si_code = CLD_KILLED;
    note_reaped_child(info);
    sweep_after_killed_sessions();
    EXPECT_EQ(wait_for_helper(&info), 0);
    remove_temp_folder(spool);
}

}  // namespace
}  // namespace tollmar::test
