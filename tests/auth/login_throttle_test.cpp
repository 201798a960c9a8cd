// The delays after refused logins, and their sharing across processes.
#include "auth/login_throttle.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "config/settings.hpp"
#include "support/killed_holder.hpp"

namespace {

using namespace tollmar::auth;
using tollmar::config::settings;

class LoginThrottle : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = settings;
        settings.login_delay = 2;
        ASSERT_TRUE(init_login_throttle());
    }
    void TearDown() override {
        end_login_throttle();
        settings = saved_;
    }
    tollmar::config::settings_record saved_;
};

constexpr std::int64_t t0 = 1000000;

TEST_F(LoginThrottle, DelayDoublesUpToFifteenSecondsPerAddress) {
    EXPECT_EQ(login_delay_ms("10.0.0.1", t0), 0);
    const std::int64_t expected[] = {2000, 4000, 8000, 15000, 15000};
    for (std::int64_t delay : expected) {
        record_login("10.0.0.1", false, t0);
        EXPECT_EQ(login_delay_ms("10.0.0.1", t0), delay);
    }
    EXPECT_EQ(login_delay_ms("10.0.0.2", t0), 0);  // other addresses do not wait
    EXPECT_EQ(login_delay_ms("10.0.0.10", t0), 0);
}

TEST_F(LoginThrottle, SuccessAndTimeClearTheAddress) {
    record_login("10.0.0.1", false, t0);
    record_login("10.0.0.1", true, t0);
    EXPECT_EQ(login_delay_ms("10.0.0.1", t0), 0);
    record_login("10.0.0.1", false, t0);
    EXPECT_EQ(login_delay_ms("10.0.0.1", t0 + 299 * 1000), 2000);
    EXPECT_EQ(login_delay_ms("10.0.0.1", t0 + 300 * 1000), 0);  // five minutes on
    record_login("10.0.0.1", false, t0 + 300 * 1000);           // starts over after expiry
    EXPECT_EQ(login_delay_ms("10.0.0.1", t0 + 300 * 1000), 2000);
}

TEST_F(LoginThrottle, BaseSetsTheScaleAndZeroSwitchesItOff) {
    record_login("10.0.0.1", false, t0);
    settings.login_delay = 20;  // a base above 15 s is its own cap
    EXPECT_EQ(login_delay_ms("10.0.0.1", t0), 20000);
    record_login("10.0.0.1", false, t0);
    EXPECT_EQ(login_delay_ms("10.0.0.1", t0), 20000);
    settings.login_delay = 0;
    EXPECT_EQ(login_delay_ms("10.0.0.1", t0), 0);
}

TEST_F(LoginThrottle, TableStaysBoundedAndKeepsTheRecent) {
    // Far more addresses than entries: the newest refusals are still known.
    for (int i = 0; i < 5000; ++i) {
        const std::string address =
            "10.2." + std::to_string(i / 256) + "." + std::to_string(i % 256);
        record_login(address.c_str(), false, t0 + i);
    }
    EXPECT_EQ(login_delay_ms("10.2.19.135", t0 + 5000), 2000);  // the last one, i = 4999
    EXPECT_EQ(login_delay_ms("10.2.0.0", t0 + 5000), 0);        // long since reused
}

TEST_F(LoginThrottle, RefusalsInOneProcessDelayAnother) {
    const pid_t child = fork();
    if (child == 0) {
        record_login("10.0.0.7", false, t0);
        record_login("10.0.0.7", false, t0);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(login_delay_ms("10.0.0.7", t0), 4000);
}

TEST_F(LoginThrottle, AProcessKilledHoldingTheLockDoesNotWedgeTheTable) {
    record_login("10.0.0.1", false, t0);
    tollmar::test::kill_a_lock_holder(lock_login_throttle);
    EXPECT_EQ(login_delay_ms("10.0.0.1", t0), 2000);  // the taker repairs; the entry survived
    record_login("10.0.0.1", false, t0);
    EXPECT_EQ(login_delay_ms("10.0.0.1", t0), 4000);
    // and the mutex is usable from other processes again
    const pid_t later = fork();
    if (later == 0) {
        record_login("10.0.0.2", false, t0);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(later, &status, 0), later);
    EXPECT_EQ(login_delay_ms("10.0.0.2", t0), 2000);
    alarm(0);
}

TEST(LoginThrottleOff, WithoutATableNobodyWaits) {
    record_login("10.0.0.1", false, t0);
    EXPECT_EQ(login_delay_ms("10.0.0.1", t0), 0);
}

}  // namespace
