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
#include <csignal>
#include <fstream>
#include <string>

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

// Whether pid has signal pending (sent to it or to its thread), from /proc.
bool signal_pending(pid_t pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const unsigned long long bit = 1ULL << (signal - 1);
    bool pending = false;
    while (std::getline(status, line)) {
        if (line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0)
            pending = pending || (std::stoull(line.substr(7), nullptr, 16) & bit) != 0;
    }
    return pending;
}

// The kernel signals a socket's owner when input arrives (O_ASYNC), with
// the checks of a kill by the account that named the owner: one jailed
// process could thus stop or kill any other of the same account, such as
// another client's TLS relay, without calling kill.
TEST(PreloginJail, CannotHaveTheKernelSignalAnotherProcessForIt) {
    const std::string root = tollmar::test::make_temp_folder("tollmar-jail");
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    const auto saved = tollmar::config::settings;
    tollmar::config::settings.prelogin_root = root.c_str();
    const char* why = nullptr;
    ASSERT_TRUE(tollmar::session::resolve_prelogin_user(&why)) << why;

    // Another process of the pre-login account, as another client's relay.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t victim = fork();
    if (victim == 0) {
        // Held pending, where the test can see it arrive.
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        sigprocmask(SIG_BLOCK, &usr1, nullptr);
        if (!tollmar::session::enter_prelogin_jail(&why) || write(ready[1], "j", 1) != 1) _exit(2);
        for (;;) pause();
    }
    close(ready[1]);
    char jailed = 0;
    ASSERT_EQ(read(ready[0], &jailed, 1), 1);
    close(ready[0]);
    int client[2], report[2], done[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, client), 0);
    ASSERT_EQ(pipe(report), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t attacker = fork();
    if (attacker == 0) {
        if (!tollmar::session::enter_prelogin_jail(&why)) _exit(2);
        const auto err = [](long rc) { return rc < 0 ? errno : 0; };
        const int flags = fcntl(client[0], F_GETFL);
        f_owner_ex owner{F_OWNER_PID, victim};
        const int tries[] = {
            err(fcntl(client[0], F_SETOWN, victim)),
            err(fcntl(client[0], F_SETOWN_EX, &owner)),
            err(fcntl(client[0], F_SETSIG, SIGUSR1)),
            err(fcntl(client[0], F_SETFL, flags | O_ASYNC)),
        };
        if (write(report[1], tries, sizeof tries) != sizeof tries) _exit(3);
        // Not reading the socket meanwhile: a waiting reader gets no signal.
        char byte;
        _exit(read(done[0], &byte, 1) == 1 ? 0 : 4);
    }
    close(client[0]);
    close(report[1]);
    int tries[4] = {};
    const ssize_t got = read(report[0], tries, sizeof tries);
    close(report[0]);
    // Input for the attacker's socket: the moment its owner would be signalled.
    EXPECT_EQ(write(client[1], "x", 1), 1);
    EXPECT_EQ(write(done[1], "x", 1), 1);
    close(done[0]);
    close(done[1]);
    int status = 0;
    ASSERT_EQ(waitpid(attacker, &status, 0), attacker);
    close(client[1]);
    const bool signalled = signal_pending(victim, SIGUSR1);
    kill(victim, SIGKILL);
    waitpid(victim, nullptr, 0);
    tollmar::config::settings = saved;
    tollmar::test::remove_temp_folder(root);

    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof tries));
    EXPECT_EQ(tries[0], EPERM);  // F_SETOWN
    EXPECT_EQ(tries[1], EPERM);  // F_SETOWN_EX
    EXPECT_EQ(tries[2], EPERM);  // F_SETSIG
    EXPECT_EQ(tries[3], EPERM);  // O_ASYNC
    EXPECT_FALSE(signalled) << "the other process was signalled";
}

}  // namespace
