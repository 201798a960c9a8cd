// The listener's connection table and its refusal reports.
#include "server/connection_limits.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/settings.hpp"
#include "util/log.hpp"

namespace {

using namespace tollmar::server;
using tollmar::config::settings;

std::vector<std::string> logged;

void observe(int, const char* line) {
    logged.emplace_back(line);
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
        init_connection_limits();
    }
    tollmar::config::settings_record saved_;
};

TEST_F(ConnectionLimits, CountsPerAddressAndInTotalAndFreesOnEnd) {
    for (pid_t pid : {101, 102, 103}) {
        EXPECT_EQ(admit_connection("10.0.0.1"), admission::admitted);
        record_connection(pid, "10.0.0.1");
    }
    EXPECT_EQ(admit_connection("10.0.0.1"), admission::address_full);
    // a trusted proxy carries many clients: only the total counts for it
    EXPECT_EQ(admit_connection("10.0.0.1", true), admission::admitted);
    EXPECT_EQ(admit_connection("10.0.0.10"), admission::admitted);  // no prefix match
    record_connection(201, "10.0.0.2");
    record_connection(202, "::1");
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
