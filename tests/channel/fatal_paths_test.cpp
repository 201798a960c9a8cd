// Failures and signals end the connection process; each case runs in a child.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "channel/harness.hpp"
#include "channel/line_io.hpp"
#include "config/settings.hpp"
#include "util/log.hpp"
#include "util/signals.hpp"

namespace tollmar::channel {
namespace {

using test::run_in_child;

void install_recorder(int sig) {
    struct sigaction sa {};
    sa.sa_handler = util::record_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;  // as the server installs its handlers
    sigaction(sig, &sa, nullptr);
}

TEST(FatalPaths, ReadFailureEndsWithStatusOne) {
    const auto outcome = run_in_child(
        [](int) {
            test::reset_channel_state();
            // A directory polls as readable and then refuses read().
            const int dir = open("/", O_RDONLY | O_DIRECTORY);
            char buf[4096];
            read_line(dir, buf, sizeof buf);
            return 0;
        },
        nullptr);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.received, "");
}

TEST(FatalPaths, WriteToVanishedClientEndsWithStatusOne) {
    const auto outcome = run_in_child(
        [](int fd) {
            test::reset_channel_state();
            signal(SIGPIPE, SIG_IGN);
            shutdown(fd, SHUT_WR);
            send_text(fd, "+OK\r\n");
            return 0;
        },
        nullptr);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.received, "");
}

[[noreturn]] void broken_pipe_exit(int) {
    std::exit(42);
}

TEST(FatalPaths, RecordedBrokenPipeRunsItsActionFirst) {
    const auto outcome = run_in_child(
        [](int fd) {
            test::reset_channel_state();
            install_recorder(SIGPIPE);
            util::set_broken_pipe_action(broken_pipe_exit);
            shutdown(fd, SHUT_WR);
            send_text(fd, "+OK\r\n");
            return 0;
        },
        nullptr);
    EXPECT_EQ(outcome.status, 42);
}

TEST(FatalPaths, TerminationSignalDuringWaitExitsZero) {
    const auto outcome = run_in_child(
        [](int fd) {
            test::reset_channel_state();
            config::settings.io_timeout = 20;
            install_recorder(SIGTERM);
            send_text(fd, "+OK\r\n");
            char buf[4096];
            read_line(fd, buf, sizeof buf);
            return 3;
        },
        [](int peer, std::string& received) {
            // The greeting shows the handler is in place; the child then waits.
            char greeting[5];
            if (read(peer, greeting, sizeof greeting) > 0) received = "greeted";
            const pid_t child = test::current_child();
            if (child > 0) kill(child, SIGTERM);
        });
    EXPECT_EQ(outcome.received, "greeted");
    EXPECT_EQ(outcome.status, 0);
}

TEST(FatalPaths, DescriptorAboveSelectLimitWorks) {
    const auto outcome = run_in_child(
        [](int fd) {
            test::reset_channel_state();
            config::settings.io_timeout = 10;
            rlimit lim{};
            getrlimit(RLIMIT_NOFILE, &lim);
            if (lim.rlim_cur < 2048) {
                lim.rlim_cur = lim.rlim_max < 2048 ? lim.rlim_max : 2048;
                setrlimit(RLIMIT_NOFILE, &lim);
            }
            const int high = 1500;
            if (dup2(fd, high) != high) return 4;
            close(fd);
            char buf[4096];
            if (read_line(high, buf, sizeof buf) <= 0) return 2;
            send_text(high, buf);
            return 0;
        },
        [](int peer, std::string&) { test::write_fully(peer, "CAPA\r\n"); });
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.received, "CAPA\r\n");
}

// What the child saw after the reply, in order, on the client's connection.
int observed_fd = -1;

void observe_log(int priority, const char* line) {
    const std::string text = "log " + std::to_string(priority) + " " + line + "\n";
    (void)!write(observed_fd, text.data(), text.size());
}

void observe_exit() {
    (void)!write(observed_fd, "at-exit\n", 8);
}

// The reply goes first, then the line, and the process ends through exit():
// the at-exit clean-up (the maildrop's lock) must still run.
TEST(FatalPaths, EndSessionRepliesLogsAndRunsTheAtExitCleanUp) {
    struct Case {
        bool with_line;
        std::string expected;
    };
    const Case cases[] = {
        {false, "-ERR no\r\nat-exit\n"},
        {true, "-ERR no\r\nlog 4 too many bad commands from 192.0.2.1\nat-exit\n"},
    };
    for (const Case& c : cases) {
        const auto outcome = run_in_child(
            [&c](int fd) -> int {
                test::reset_channel_state();
                observed_fd = fd;
                util::log_observer = observe_log;
                std::atexit(observe_exit);
                if (c.with_line)
                    end_session(fd, "-ERR no\r\n", LOG_WARNING, "%s from %s",
                                "too many bad commands", "192.0.2.1");
                end_session(fd, "-ERR no\r\n");
            },
            nullptr);
        EXPECT_EQ(outcome.status, 1) << c.with_line;
        EXPECT_EQ(outcome.received, c.expected);
    }
}

}  // namespace
}  // namespace tollmar::channel
