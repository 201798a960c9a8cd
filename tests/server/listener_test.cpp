// The listener's building blocks: backlog choice, signal handlers, reaping,
// daemon mode, the pid file and the listening socket.
#include "server/listener.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/settings.hpp"
#include "server/child_reaping.hpp"
#include "server/connection.hpp"
#include "server/connection_limits.hpp"
#include "support/child_run.hpp"
#include "support/temp_folder.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"
#include "util/signals.hpp"

namespace {

using namespace tollmar::server;
using tollmar::config::settings;
using tollmar::test::child_result;
using tollmar::test::returned_status;
using tollmar::test::run_in_child;
using tollmar::test::write_text;
using tollmar::util::install_signal;

bool file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string read_file(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return "(missing)";
    return tollmar::test::read_all(f);
}

class ListenerDir : public ::testing::Test {
protected:
    void SetUp() override {
        dir = tollmar::test::make_temp_folder("tollmar-listener");
        ASSERT_FALSE(dir.empty());
        pid_path = dir + "/tollmar.pid";
    }
    void TearDown() override { tollmar::test::remove_temp_folder(dir); }
    void make_pid_file() {
        std::FILE* f = std::fopen(pid_path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("1234", f);
        std::fclose(f);
    }
    std::string dir;
    std::string pid_path;
};

std::string logged;

void keep_line(int, const char* line) {
    logged += line;
    logged += '\n';
}

// A whole positive number is taken as given; anything else is ignored with a
// warning rather than handed to listen() as a surprise (a backlog of -3, 64
// from "64k").
TEST(ListenBacklog, FromListenq) {
    struct Case {
        const char* listenq;
        int backlog;
        bool warned;
    };
    const Case cases[] = {
        {nullptr, 1024, false},
        {"16", 16, false},
        {"1", 1, false},
        {"2147483647", INT_MAX, false},
        {"abc", 1024, true},
        {"", 1024, true},
        {"64k", 1024, true},
        {" 5", 1024, true},
        {"-3", 1024, true},
        {"+5", 1024, true},
        {"0", 1024, true},
        {"2147483648", 1024, true},
        {"99999999999999999999", 1024, true},
    };
    tollmar::util::log_observer = keep_line;
    for (const Case& c : cases) {
        logged.clear();
        const char* shown = c.listenq != nullptr ? c.listenq : "(unset)";
        EXPECT_EQ(listen_backlog(c.listenq), c.backlog) << shown;
        const std::string warning = std::string("LISTENQ ignored, not a positive number: ") +
                                    (c.listenq != nullptr ? c.listenq : "") + "\n";
        EXPECT_EQ(logged, c.warned ? warning : "") << shown;
    }
    tollmar::util::log_observer = nullptr;
}

TEST(ReapChildren, ReapsEveryEndedChildAndKeepsErrno) {
    const child_result r = run_in_child([](int extra) {
        pid_t kids[3];
        for (pid_t& kid : kids) {
            kid = fork();
            if (kid == 0) _exit(3);
        }
        // A child still running must not be waited for.
        int hold[2];
        if (pipe(hold) != 0) return;
        const pid_t running = fork();
        if (running == 0) {
            char c;
            close(hold[1]);
            (void)read(hold[0], &c, 1);
            _exit(0);
        }
        close(hold[0]);
        // Wait until each has ended without collecting it.
        for (pid_t kid : kids) {
            siginfo_t info;
            waitid(P_PID, static_cast<id_t>(kid), &info, WEXITED | WNOWAIT);
        }
        errno = EBADF;
        reap_children();
        std::string report = errno == EBADF ? "errno-kept" : "errno-changed";
        for (pid_t kid : kids) {
            report += waitpid(kid, nullptr, WNOHANG) == -1 && errno == ECHILD ? " reaped" : " left";
        }
        report += waitpid(running, nullptr, WNOHANG) == 0 ? " running" : " gone";
        close(hold[1]);
        waitpid(running, nullptr, 0);
        write_text(extra, report);
    });
    EXPECT_EQ(r.status, returned_status);
    EXPECT_EQ(r.extra, "errno-kept reaped reaped reaped running");
}

TEST_F(ListenerDir, TerminateInListenerRemovesPidFileInDaemonMode) {
    for (int sig : termination_signals) {
        for (unsigned char daemon : {0, 1}) {
            make_pid_file();
            const child_result r = run_in_child([&](int) {
                settings.daemon_mode = daemon;
                settings.pid_file = pid_path.c_str();
                for (int s : termination_signals) install_signal(s, on_terminate);
                raise(sig);
                write_text(STDOUT_FILENO, "survived");
            });
            EXPECT_EQ(r.status, 0) << "signal " << sig;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(file_exists(pid_path), daemon == 0) << "signal " << sig;
        }
    }
}

int at_exit_marker_fd = -1;
void write_at_exit_marker() {
    write_text(at_exit_marker_fd, " at-exit");
}

TEST_F(ListenerDir, TerminateInConnectionProcessIsDeferred) {
    make_pid_file();
    const child_result r = run_in_child([&](int extra) {
        settings.daemon_mode = 1;
        settings.pid_file = pid_path.c_str();
        for (int s : termination_signals) install_signal(s, on_terminate);
        at_exit_marker_fd = extra;
        std::atexit(write_at_exit_marker);

        mask_termination_signals(SIG_BLOCK);
        enter_connection_process();
        raise(SIGTERM);  // held back until unblocked
        std::string report = tollmar::util::pending_termination == 0 ? "held" : "early";
        mask_termination_signals(SIG_UNBLOCK);
        report += tollmar::util::pending_termination == SIGTERM ? " recorded" : " missed";
        for (int s : termination_signals) {
            struct sigaction action {};
            sigaction(s, nullptr, &action);
            if (action.sa_handler != on_terminate || (action.sa_flags & SA_RESTART)) {
                report += " bad-action";
            }
        }
        write_text(extra, report);
        tollmar::util::act_on_pending_signals();
        write_text(extra, " returned");
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.extra, "held recorded at-exit");
    EXPECT_TRUE(file_exists(pid_path)) << "the listener's pid file must stay";
}

TEST_F(ListenerDir, PidFileOnlyInDaemonMode) {
    const child_result r = run_in_child([&](int) {
        settings.pid_file = pid_path.c_str();
        settings.daemon_mode = 0;
        write_pid_file();
        if (file_exists(pid_path)) _exit(2);
        settings.daemon_mode = 1;
        write_pid_file();
        std::printf("%d", static_cast<int>(getpid()));
    });
    EXPECT_EQ(r.status, returned_status);
    EXPECT_EQ(read_file(pid_path), r.out) << "digits of the pid, no line end";
    EXPECT_FALSE(r.out.empty());

    // An existing longer file is truncated; an unwritable path is silent.
    const child_result again = run_in_child([&](int) {
        settings.daemon_mode = 1;
        settings.pid_file = pid_path.c_str();
        write_pid_file();
        settings.pid_file = "/nonexistent-dir/x.pid";
        write_pid_file();
        std::printf("%d", static_cast<int>(getpid()));
    });
    EXPECT_EQ(again.status, returned_status);
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(read_file(pid_path), again.out);
}

TEST(Daemonize, DetachesIntoNewSessionAtRootWithNullStdio) {
    int report_pipe[2];
    ASSERT_EQ(pipe(report_pipe), 0);
    const child_result r = run_in_child([&](int) {
        close(report_pipe[0]);
        const pid_t before = getpid();
        const int rc = daemonize();
        // Only the detached process gets here.
        struct stat null_st;
        stat("/dev/null", &null_st);
        std::string report = rc == 0 ? "rc0" : "rc-1";
        report += getpid() != before ? " new-pid" : " same-pid";
        report += getsid(0) == getpid() ? " leader" : " not-leader";
        char cwd[PATH_MAX];
        report += std::string(" cwd=") + (getcwd(cwd, sizeof cwd) ? cwd : "?");
        for (int fd = 0; fd <= 2; ++fd) {
            struct stat st;
            const bool is_null =
                fstat(fd, &st) == 0 && st.st_rdev == null_st.st_rdev && S_ISCHR(st.st_mode);
            report += is_null ? " null" : " other";
        }
        write_text(report_pipe[1], report);
        _exit(0);
    });
    close(report_pipe[1]);
    std::FILE* in = fdopen(report_pipe[0], "r");
    ASSERT_NE(in, nullptr);
    const std::string report = tollmar::test::read_all(in);  // EOF once the detached process ends
    EXPECT_EQ(r.status, 0) << "the starting process ends at once with status 0";
    EXPECT_EQ(report, "rc0 new-pid leader cwd=/ null null null");
}

class ListenSocket : public ::testing::Test {
protected:
    static unsigned short bound_port(int fd) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
        char host[INET6_ADDRSTRLEN + 1];
        return static_cast<unsigned short>(tollmar::util::peer_text(ss, host, sizeof host));
    }
};

TEST_F(ListenSocket, ListensWithOptionsSet) {
    const child_result r = run_in_child([](int extra) {
        if (tcp_listen("127.0.0.1", "0") != 1) return;
        const int fd = listeners()[0];
        int accepting = 0, reuse = 0;
        socklen_t len = sizeof accepting;
        getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len);
        len = sizeof reuse;
        getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, &len);
        linger lg{};
        len = sizeof lg;
        getsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, &len);
        char report[128];
        std::snprintf(report, sizeof report, "accept=%d reuse=%d linger=%d/%d port>0=%d", accepting,
                      reuse != 0, lg.l_onoff != 0, lg.l_linger, bound_port(fd) > 0);
        write_text(extra, report);
    });
    EXPECT_EQ(r.status, returned_status) << r.err;
    EXPECT_EQ(r.extra, "accept=1 reuse=1 linger=1/5 port>0=1");
}

int nodelay(int fd) {
    int value = -1;
    socklen_t len = sizeof value;
    if (getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &len) != 0) return -1;
    return value != 0 ? 1 : 0;
}

// Both ends of an accepted loopback TCP connection, over IPv4 or IPv6.
struct accepted_pair {
    int listener = -1, client = -1, server = -1;
    ~accepted_pair() {
        for (int fd : {listener, client, server})
            if (fd >= 0) close(fd);
    }
};

void connect_pair(int family, accepted_pair& p) {
    p.listener = socket(family, SOCK_STREAM, 0);
    ASSERT_GE(p.listener, 0);
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET) {
        auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
        sin->sin_family = AF_INET;
        sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *sin;
    } else {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_addr = in6addr_loopback;
        len = sizeof *sin6;
    }
    ASSERT_EQ(bind(p.listener, reinterpret_cast<sockaddr*>(&ss), len), 0);
    ASSERT_EQ(listen(p.listener, 1), 0);
    ASSERT_EQ(getsockname(p.listener, reinterpret_cast<sockaddr*>(&ss), &len), 0);
    p.client = socket(family, SOCK_STREAM, 0);
    ASSERT_GE(p.client, 0);
    ASSERT_EQ(connect(p.client, reinterpret_cast<sockaddr*>(&ss), len), 0);
    p.server = accept(p.listener, nullptr, nullptr);
    ASSERT_GE(p.server, 0);
}

TEST(ConnectionSocket, NoDelayOnAcceptedTcpSockets) {
    for (const int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
        accepted_pair p;
        connect_pair(family, p);
        if (HasFatalFailure()) return;
        // The accepted socket starts with Nagle's algorithm on, so the check
        // below sees the function's own effect.
        ASSERT_EQ(nodelay(p.server), 0);
        EXPECT_TRUE(prepare_connection_socket(p.server));
        EXPECT_EQ(nodelay(p.server), 1);
        EXPECT_EQ(nodelay(p.client), 0);
    }
}

TEST(ConnectionSocket, NonTcpSocketIsReportedNotFatal) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_FALSE(prepare_connection_socket(pair[0]));
    close(pair[0]);
    close(pair[1]);
}

TEST_F(ListenSocket, PortInUseAndUnknownService) {
    const int busy = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(busy, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
    ASSERT_EQ(listen(busy, 1), 0);
    const std::string port = std::to_string(bound_port(busy));

    child_result r = run_in_child([&](int) { tcp_listen("127.0.0.1", port.c_str()); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tcp_listen: Address already in use\n");
    close(busy);

    r = run_in_child([](int) { tcp_listen("127.0.0.1", "no-such-service-tollmar"); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "getaddrinfo: Servname not supported for ai_socktype\n");
}

// Makes one system call fail with `error` in this process when its argument
// number `arg` equals `value` (and, with arg2 >= 0, argument arg2 equals
// value2): a host without IPv6, or one that cannot mix the families, as the
// kernel would show it.
bool fail_syscall(long nr, int arg, unsigned value, int arg2, unsigned value2, int error) {
    const auto arg_offset = [](int n) {
        return static_cast<unsigned>(offsetof(seccomp_data, args) + n * sizeof(__u64));
    };
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<unsigned>(offsetof(seccomp_data, nr))),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(nr), 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg_offset(arg)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg_offset(arg2 >= 0 ? arg2 : arg)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arg2 >= 0 ? value2 : value, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

// The families of the listening sockets, and whether IPv6 ones take IPv4.
std::string listener_families() {
    std::string report;
    for (int fd : listeners()) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
        if (!report.empty()) report += " ";
        if (ss.ss_family == AF_INET6) {
            int v6only = -1;
            len = sizeof v6only;
            getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &len);
            report += v6only == 0 ? "v6+v4" : "v6";
        } else {
            report += ss.ss_family == AF_INET ? "v4" : "other";
        }
    }
    return report;
}

TEST_F(ListenSocket, AnyAddressTakesBothFamiliesOrFallsBack) {
    struct Case {
        const char* name;
        long nr;  // 0: the host as it is
        int arg;
        unsigned value;
        int arg2;
        unsigned value2;
        int error;
        const char* families;
    };
    const Case cases[] = {
        {"dual-stack", 0, 0, 0, -1, 0, 0, "1 v6+v4"},
        {"no IPv6 in the kernel", SYS_socket, 0, AF_INET6, -1, 0, EAFNOSUPPORT, "1 v4"},
        {"IPv6 wildcard not bindable", SYS_bind, 2, sizeof(sockaddr_in6), -1, 0, EADDRNOTAVAIL,
         "1 v4"},
    };
    for (const Case& c : cases) {
        const child_result r = run_in_child([&](int extra) {
            if (c.nr != 0 && !fail_syscall(c.nr, c.arg, c.value, c.arg2, c.value2, c.error)) {
                write_text(extra, "no seccomp");
                return;
            }
            const unsigned count = tcp_listen(nullptr, "0");
            write_text(extra, std::to_string(count) + " " + listener_families());
        });
        EXPECT_EQ(r.status, returned_status) << c.name << ": " << r.err;
        EXPECT_EQ(r.extra, c.families) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
    }
}

TEST_F(ListenSocket, AnyAddressInUseIsFatal) {
    const int busy = socket(AF_INET6, SOCK_STREAM, 0);
    ASSERT_GE(busy, 0);
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_addr = in6addr_any;
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6), 0);
    ASSERT_EQ(listen(busy, 1), 0);
    const std::string port = std::to_string(bound_port(busy));
    const child_result r = run_in_child([&](int) { tcp_listen(nullptr, port.c_str()); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tcp_listen: Address already in use\n");
    close(busy);
}

}  // namespace
