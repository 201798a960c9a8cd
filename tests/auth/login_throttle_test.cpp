// The delays after refused logins, per client and per login name, and their
// sharing across processes.
#include "auth/login_throttle.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "auth/temp_dir.hpp"
#include "config/settings.hpp"
#include "support/killed_holder.hpp"

namespace {

using namespace tollmar::auth;
using tollmar::config::settings;

constexpr std::int64_t t0 = 1000000;

// A refusal for a name of its own, so that only the client's delay grows.
void refuse(const std::string& client, std::int64_t now = t0) {
    record_login(client.c_str(), ("name of " + client).c_str(), false, now);
}

std::int64_t client_delay(const std::string& client, std::int64_t now = t0) {
    return login_delay_ms(client.c_str(), "a name never refused", now);
}

std::string address(int i) {
    return "10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
           std::to_string(i % 256);
}

void exit_status_zero(pid_t child) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

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

TEST_F(LoginThrottle, DelayDoublesUpToFifteenSecondsPerClient) {
    EXPECT_EQ(client_delay("10.0.0.1"), 0);
    const std::int64_t expected[] = {2000, 4000, 8000, 15000, 15000};
    for (std::int64_t delay : expected) {
        refuse("10.0.0.1");
        EXPECT_EQ(client_delay("10.0.0.1"), delay);
    }
    EXPECT_EQ(client_delay("10.0.0.2"), 0);  // other clients do not wait
    EXPECT_EQ(client_delay("10.0.0.10"), 0);
    EXPECT_EQ(client_delay("2001:db8::/64"), 0);
}

TEST_F(LoginThrottle, ANameGuessedFromManyClientsWaitsButItsOwnerIsNeverLockedOut) {
    for (int i = 0; i < 100; ++i) record_login(address(i).c_str(), "alice", false, t0);
    // A fresh client for alice waits the longest delay, no more; other
    // names from the same clients wait only for the client's own refusal.
    EXPECT_EQ(login_delay_ms("192.0.2.1", "alice", t0), 15000);
    EXPECT_EQ(login_delay_ms("192.0.2.1", "bob", t0), 0);
    EXPECT_EQ(login_delay_ms(address(5).c_str(), "bob", t0), 2000);
    // The owner's login is accepted after the wait; that clears the
    // owner's client, not the name under attack.
    record_login("192.0.2.1", "alice", true, t0);
    EXPECT_EQ(login_delay_ms("192.0.2.1", "alice", t0), 15000);
    record_login(address(5).c_str(), "alice", true, t0);
    EXPECT_EQ(login_delay_ms(address(5).c_str(), "bob", t0), 0);
    // Five minutes after the last guess, the name is free again.
    EXPECT_EQ(login_delay_ms("192.0.2.1", "alice", t0 + 300 * 1000), 0);
}

TEST_F(LoginThrottle, AnyNameIsThrottledLongOrOdd) {
    // An authentication file may hold names of any length; the table keeps
    // 63 bytes of each, and a name is counted by those.
    const std::string long_name =
        "firstname.lastname.of.some.department@mail.example-company.org.uk";
    const std::string names[] = {"",        std::string(63, 'a'),   std::string(64, 'b'),
                                 long_name, std::string(4096, 'c'), "\xc3\xa4\xff name'\")"};
    for (const std::string& name : names) {
        for (int i = 0; i < 3; ++i) record_login(address(i).c_str(), name.c_str(), false, t0);
        EXPECT_EQ(login_delay_ms("192.0.2.1", name.c_str(), t0), 8000) << name.size();
    }
    // Names alike in their first 63 bytes share the count.
    EXPECT_EQ(login_delay_ms("192.0.2.1", (std::string(63, 'a') + "other").c_str(), t0), 8000);
}

TEST_F(LoginThrottle, SuccessAndTimeClearTheClient) {
    refuse("10.0.0.1");
    record_login("10.0.0.1", "x", true, t0);
    EXPECT_EQ(client_delay("10.0.0.1"), 0);
    refuse("10.0.0.1");
    EXPECT_EQ(client_delay("10.0.0.1", t0 + 299 * 1000), 2000);
    EXPECT_EQ(client_delay("10.0.0.1", t0 + 300 * 1000), 0);  // five minutes on
    refuse("10.0.0.1", t0 + 300 * 1000);                      // starts over after expiry
    EXPECT_EQ(client_delay("10.0.0.1", t0 + 300 * 1000), 2000);
}

TEST_F(LoginThrottle, BaseSetsTheScaleAndZeroSwitchesItOff) {
    refuse("10.0.0.1");
    settings.login_delay = 20;  // a base above 15 s is its own cap
    EXPECT_EQ(client_delay("10.0.0.1"), 20000);
    refuse("10.0.0.1");
    EXPECT_EQ(client_delay("10.0.0.1"), 20000);
    settings.login_delay = 0;
    EXPECT_EQ(client_delay("10.0.0.1"), 0);
}

TEST_F(LoginThrottle, AFloodOfOneOffRefusalsDoesNotFlushAClientUnderWatch) {
    for (int i = 0; i < 3; ++i) refuse("192.0.2.9");
    for (int i = 0; i < 3; ++i) record_login("192.0.2.9", "victim", false, t0);
    // Far more one-off clients and names than the tables hold.
    for (int i = 0; i < 40000; ++i) {
        record_login(address(i).c_str(), ("n" + std::to_string(i)).c_str(), false, t0 + i);
    }
    const std::int64_t now = t0 + 40000;
    EXPECT_EQ(login_delay_ms("192.0.2.9", "anyone", now), 15000);  // six refusals
    EXPECT_EQ(login_delay_ms("192.0.2.1", "victim", now), 8000);   // three on the name
    // The tables stay bounded: the newest one-off refusal is known, the
    // first has long been reused.
    EXPECT_EQ(client_delay(address(39999), now), 2000);
    EXPECT_EQ(client_delay(address(0), now), 0);
}

TEST_F(LoginThrottle, RefusalsInOneProcessDelayAnother) {
    const pid_t child = fork();
    if (child == 0) {
        refuse("10.0.0.7");
        refuse("10.0.0.7");
        _exit(0);
    }
    exit_status_zero(child);
    EXPECT_EQ(client_delay("10.0.0.7"), 4000);
}

TEST_F(LoginThrottle, AProcessKilledHoldingTheLockDoesNotWedgeTheTable) {
    refuse("10.0.0.1");
    tollmar::test::kill_a_lock_holder(lock_login_throttle);
    EXPECT_EQ(client_delay("10.0.0.1"), 2000);  // the taker repairs; the entry survived
    refuse("10.0.0.1");
    EXPECT_EQ(client_delay("10.0.0.1"), 4000);
    // and the mutex is usable from other processes again
    const pid_t later = fork();
    if (later == 0) {
        refuse("10.0.0.2");
        _exit(0);
    }
    exit_status_zero(later);
    EXPECT_EQ(client_delay("10.0.0.2"), 2000);
    alarm(0);
}

TEST(LoginThrottleOff, WithoutATableNobodyWaits) {
    refuse("10.0.0.1");
    EXPECT_EQ(client_delay("10.0.0.1"), 0);
}

// inetd mode: processes that share no parent map one file.
class LoginThrottleFile : public tollmar::test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        saved_ = settings;
        settings.login_delay = 2;
        path_ = dir_ + "/throttle";
    }
    void TearDown() override {
        end_login_throttle();
        settings = saved_;
        TempDirTest::TearDown();
    }
    tollmar::config::settings_record saved_;
    std::string path_;
};

TEST_F(LoginThrottleFile, ProcessesThatMapTheFileShareIt) {
    for (int round = 0; round < 2; ++round) {  // the first makes the file
        const pid_t child = fork();
        if (child == 0) {
            if (!init_login_throttle(path_.c_str())) _exit(1);
            refuse("10.0.0.7");
            _exit(0);
        }
        exit_status_zero(child);
    }
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_TRUE(init_login_throttle(path_.c_str()));
    EXPECT_EQ(client_delay("10.0.0.7"), 4000);
}

TEST_F(LoginThrottleFile, AFileThatIsNotAUsableTableIsReplaced) {
    const struct {
        const char* bytes;
        mode_t mode;
    } cases[] = {{"not a table", 0600}, {"", 0644}};
    for (const auto& c : cases) {
        write_file("throttle", c.bytes);
        ASSERT_EQ(chmod(path_.c_str(), c.mode), 0);
        ASSERT_TRUE(init_login_throttle(path_.c_str())) << c.bytes;
        refuse("10.0.0.8");
        EXPECT_EQ(client_delay("10.0.0.8"), 2000);
        end_login_throttle();
    }
    // A link is never followed: whatever it points at stays untouched.
    const std::string elsewhere = write_file("elsewhere", "keep");
    ASSERT_EQ(unlink(path_.c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), path_.c_str()), 0);
    EXPECT_FALSE(init_login_throttle(path_.c_str()));
    struct stat st;
    ASSERT_EQ(stat(elsewhere.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4);
}

}  // namespace
