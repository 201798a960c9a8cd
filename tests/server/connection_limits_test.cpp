// The shared connection table and its refusal reports.
#include "server/connection_limits.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/settings.hpp"
#include "support/killed_holder.hpp"
#include "util/log.hpp"

namespace {

using namespace tollmar::server;
using tollmar::config::settings;

std::vector<std::string> logged;

void observe(int, const char* line) {
    logged.emplace_back(line);
}

// What the listener does for an admitted connection: claim, fork, record.
void enter(pid_t pid, const char* address, bool via_proxy = false) {
    ASSERT_TRUE(claim_connection_slot(address, via_proxy));
    record_connection(pid);
}

class ConnectionLimits : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = settings;
        settings.per_address_limit = 3;
        settings.connection_limit = 5;
        init_connection_limits();
        logged.clear();
        tollmar::util::log_observer = observe;
    }
    void TearDown() override {
        tollmar::util::log_observer = nullptr;
        settings = saved_;
        leave_connection_table();
    }
    tollmar::config::settings_record saved_;
};

TEST_F(ConnectionLimits, CountsPerAddressAndInTotalAndFreesOnEnd) {
    for (pid_t pid : {101, 102, 103}) {
        EXPECT_EQ(admit_connection("10.0.0.1"), admission::admitted);
        enter(pid, "10.0.0.1");
    }
    EXPECT_EQ(admit_connection("10.0.0.1"), admission::address_full);
    // a trusted proxy carries many clients: only the total counts for it
    EXPECT_EQ(admit_connection("10.0.0.1", true), admission::admitted);
    EXPECT_EQ(admit_connection("10.0.0.10"), admission::admitted);  // no prefix match
    enter(201, "10.0.0.2");
    enter(202, "::1");
    EXPECT_EQ(admit_connection("10.0.0.3"), admission::total_full);
    EXPECT_EQ(admit_connection("10.0.0.1", true), admission::total_full);
    // the per-address limit is reported first when both apply
    EXPECT_EQ(admit_connection("10.0.0.1"), admission::address_full);

    forget_connection(202);
    EXPECT_EQ(admit_connection("10.0.0.3"), admission::admitted);
    EXPECT_EQ(admit_connection("10.0.0.1"), admission::address_full);
    forget_connection(102);
    forget_connection(999);  // unknown: nothing changes
    EXPECT_EQ(admit_connection("10.0.0.1"), admission::admitted);
}

// As in the listener: claims a slot for a trusted proxy's connection and
// forks its process, which re-keys the slot to the client its header named
// and ends with 0 when admitted, 1 when refused. Returns the pid, recorded.
pid_t fork_proxied(const char* client) {
    EXPECT_TRUE(claim_connection_slot("127.0.0.1", true));
    const pid_t pid = fork();
    if (pid == 0) _exit(rekey_own_connection(client) == admission::admitted ? 0 : 1);
    record_connection(pid);
    return pid;
}

int exit_status(pid_t pid) {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ConnectionLimits, ProxiedConnectionsAreCountedForTheClientTheirProcessNames) {
    // Before re-keying, a proxied slot counts in the total only: not for the
    // proxy's own address.
    ASSERT_TRUE(claim_connection_slot("127.0.0.1", true));
    EXPECT_EQ(admit_connection("127.0.0.1"), admission::admitted);
    record_connection(-1);  // the fork failed: the slot is free again

    enter(100, "203.0.113.7");  // the same client, directly
    std::vector<pid_t> served;
    for (int i = 0; i < 2; ++i) {
        served.push_back(fork_proxied("203.0.113.7"));
        EXPECT_EQ(exit_status(served.back()), 0);
    }
    const pid_t refused = fork_proxied("203.0.113.7");  // the fourth for that client
    EXPECT_EQ(exit_status(refused), 1);
    EXPECT_EQ(admit_connection("203.0.113.7"), admission::address_full);
    const pid_t other = fork_proxied("198.51.100.9");  // another client: served
    EXPECT_EQ(exit_status(other), 0);
    // Five processes are live until reaped, the refused one included.
    EXPECT_EQ(admit_connection("192.0.2.1", true), admission::total_full);

    // The refused one no longer counts for the client: reaping one served
    // connection frees a place for it at once.
    forget_connection(refused);
    EXPECT_EQ(admit_connection("203.0.113.7"), admission::address_full);
    forget_connection(served[0]);
    EXPECT_EQ(admit_connection("203.0.113.7"), admission::admitted);
    const pid_t again = fork_proxied("203.0.113.7");
    EXPECT_EQ(exit_status(again), 0);
}

TEST_F(ConnectionLimits, WithoutAClaimedSlotNothingIsKeyed) {
    // inetd mode: no listener, no table
    leave_connection_table();
    EXPECT_EQ(rekey_own_connection("203.0.113.7"), admission::admitted);
    init_connection_limits();
    EXPECT_EQ(rekey_own_connection("203.0.113.7"), admission::admitted);
    EXPECT_EQ(admit_connection("203.0.113.7"), admission::admitted);
}

TEST_F(ConnectionLimits, AProcessKilledHoldingTheLockDoesNotWedgeTheTable) {
    enter(300, "10.0.0.1");
    tollmar::test::kill_a_lock_holder(lock_connection_table);
    EXPECT_EQ(admit_connection("10.0.0.1"), admission::admitted);  // the taker repairs
    enter(301, "10.0.0.1");
    enter(302, "10.0.0.1");
    EXPECT_EQ(admit_connection("10.0.0.1"), admission::address_full);  // the entries survived
    forget_connection(300);
    EXPECT_EQ(admit_connection("10.0.0.1"), admission::admitted);
    // and the mutex is usable from other processes again
    const pid_t later = fork_proxied("10.0.0.2");
    EXPECT_EQ(exit_status(later), 0);
    alarm(0);
}

TEST_F(ConnectionLimits, RefusalsOfAllProcessesShareTheReports) {
    const pid_t child = fork();
    if (child == 0) {
        report_refusal("203.0.113.7", admission::address_full, 1000);
        _exit(logged.size() == 1 ? 0 : 1);
    }
    EXPECT_EQ(exit_status(child), 0);
    report_refusal("203.0.113.7", admission::address_full, 2000);  // counted, not logged
    EXPECT_TRUE(logged.empty());
    report_refusal("203.0.113.7", admission::address_full, 61000);
    const std::vector<std::string> expected = {
        "too many connections from 203.0.113.7 (limit 3 per address), 1 more refused since the "
        "last report",
    };
    EXPECT_EQ(logged, expected);
}

TEST_F(ConnectionLimits, RefusalsAreReportedOncePerAddressAMinute) {
    for (int i = 0; i < 50; ++i) report_refusal("10.0.0.1", admission::address_full, 1000 + i);
    report_refusal("10.0.0.2", admission::total_full, 2000);
    report_refusal("10.0.0.1", admission::address_full, 61000);  // 60 s after the first line
    const std::vector<std::string> expected = {
        "too many connections from 10.0.0.1 (limit 3 per address), 0 more refused since the last "
        "report",
        "too many connections from 10.0.0.2 (limit 5 in total), 0 more refused since the last "
        "report",
        "too many connections from 10.0.0.1 (limit 3 per address), 49 more refused since the last "
        "report",
    };
    EXPECT_EQ(logged, expected);
}

TEST_F(ConnectionLimits, ManyAddressesKeepTheReportsBounded) {
    // Far more addresses than report slots: each new one is reported, and an
    // address pushed out of the table is reported again when it returns.
    for (int i = 0; i < 1000; ++i) {
        const std::string address =
            "10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256);
        report_refusal(address.c_str(), admission::total_full, 5000);
    }
    EXPECT_EQ(logged.size(), 1000u);
    report_refusal("10.1.3.231", admission::total_full, 5001);  // recent: counted, not logged
    EXPECT_EQ(logged.size(), 1000u);
}

TEST_F(ConnectionLimits, RefusedPlainConnectionGetsTheReplyAndIsClosed) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    settings.use_tls = false;
    refuse_connection(pair[0], "10.0.0.1", admission::address_full);
    std::string received;
    char buf[256];
    ssize_t n;
    while ((n = read(pair[1], buf, sizeof buf)) > 0) received.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(received, "-ERR [SYS/TEMP] too many connections\r\n");
    close(pair[1]);
    ASSERT_EQ(logged.size(), 1u);

    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    settings.use_tls = true;  // a TLS client could not read a plain reply
    refuse_connection(pair[0], "10.0.0.2", admission::address_full);
    EXPECT_EQ(read(pair[1], buf, sizeof buf), 0);
    close(pair[1]);
}

}  // namespace
