// Code running in the pre-login jail cannot reach beyond its descriptors:
// each call below is what an attacker who took over the process would try
// first. Needs root (chroot, the switch of account).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "config/settings.hpp"
#include "session/prelogin.hpp"
#include "support/temp_folder.hpp"

namespace {

// Each check's errno, written to the pipe (write is allowed in the jail).
struct attempt_results {
    int kill_parent, kill_all, socket_inet, open_root, ptrace_parent, fork_child;
};

TEST(PreloginJail, KillSocketOpenPtraceAndForkAreRefused) {
    const std::string root = tollmar::test::make_temp_folder("tollmar-jail");
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    const auto saved = tollmar::config::settings;
    tollmar::config::settings.prelogin_root = root.c_str();
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    if (child == 0) {
        const char* why = nullptr;
        if (!tollmar::session::enter_prelogin_jail(&why)) _exit(2);
        const auto err = [](long rc) { return rc < 0 ? errno : 0; };
        attempt_results r{};
        r.kill_parent = err(kill(getppid(), 0));
        r.kill_all = err(kill(-1, SIGCONT));
        r.socket_inet = err(socket(AF_INET, SOCK_STREAM, 0));
        r.open_root = err(open("/", O_RDONLY));
        r.ptrace_parent = err(ptrace(PTRACE_ATTACH, getppid(), nullptr, nullptr));
        r.fork_child = err(fork());
        _exit(write(report[1], &r, sizeof r) == sizeof r ? 0 : 3);
    }
    close(report[1]);
    attempt_results r{};
    const ssize_t got = read(report[0], &r, sizeof r);
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    tollmar::config::settings = saved;
    tollmar::test::remove_temp_folder(root);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof r));
    EXPECT_EQ(r.kill_parent, EPERM);
    EXPECT_EQ(r.kill_all, EPERM);
    EXPECT_EQ(r.socket_inet, EPERM);
    EXPECT_EQ(r.open_root, EPERM);
    EXPECT_EQ(r.ptrace_parent, EPERM);
    EXPECT_EQ(r.fork_child, EPERM);
}

}  // namespace
