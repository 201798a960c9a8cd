#include <string>

#include <gtest/gtest.h>

#include "auth/credential_checks.hpp"
#include "auth/credentials.hpp"
#include "config/settings.hpp"
#include "temp_dir.hpp"

namespace {

using namespace tollmar::auth;
using tollmar::config::settings;

// Logins with access lists on, against an authentication file holding alice
// and bob, so that every refusal here comes from the lists.
class AccessListLogin : public tollmar::test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        saved_ = settings;
        auth_path_ = write_file("users", "alice:apw:a:/a\nbob:bpw:b:/b\n");
        settings.auth_file = auth_path_.c_str();
        settings.use_access_lists = 1;
        allow_ = path_of("allow");
        deny_ = path_of("deny");
    }
    void TearDown() override {
        settings = saved_;
        TempDirTest::TearDown();
    }

    login_result check(const char* name, const char* password) {
        return check_credentials_with_lists(name, password, allow_.c_str(), deny_.c_str());
    }

    // Verdicts for alice and bob, each with the right password.
    std::pair<int, int> verdicts() {
        return {check("alice", "apw").verdict, check("bob", "bpw").verdict};
    }

    tollmar::config::settings_record saved_;
    std::string auth_path_, allow_, deny_;
};

TEST_F(AccessListLogin, MissingDenyListRefusesEveryone) {
    EXPECT_EQ(verdicts(), std::make_pair(0, 0));
    const login_result alice = check("alice", "apw");
    EXPECT_EQ(alice.reason, refusal_access_lists);
    EXPECT_STREQ(alice.mapped_user, "");
}

// A name the lists refuse is refused whatever its password, and the refusal
// says it was the lists; a list that cannot be read says so instead.
TEST_F(AccessListLogin, RefusalsNameTheirCause) {
    write_file("deny", "alice\n");
    const struct {
        const char* name;
        const char* password;
        refusal_reason reason;
    } cases[] = {
        {"alice", "apw", refusal_access_lists},
        {"alice", "wrong", refusal_access_lists},
        {"bob", "wrong", refusal_wrong_password},
        {"carol", "x", refusal_unknown_account},
    };
    for (const auto& c : cases) {
        const login_result result = check(c.name, c.password);
        EXPECT_EQ(result.verdict, verdict_refused) << c.name;
        EXPECT_EQ(result.reason, c.reason) << c.name << ": " << refusal_text(result.reason);
    }
    const std::string folder = path_of("");  // exists, but is no list
    for (const auto& [allow, deny] : {std::pair{folder, deny_}, std::pair{allow_, folder}}) {
        const login_result result =
            check_credentials_with_lists("bob", "bpw", allow.c_str(), deny.c_str());
        EXPECT_EQ(result.verdict, verdict_refused);
        EXPECT_EQ(result.reason, refusal_lists_unreadable);
    }
}

TEST_F(AccessListLogin, DenyListRefusesListedNames) {
    write_file("deny", "# nobody\n");
    EXPECT_EQ(verdicts(), std::make_pair(1, 1));
    write_file("deny", "alice\n");
    EXPECT_EQ(verdicts(), std::make_pair(0, 1));
    write_file("deny", "alice\r\n");  // not listed: the CR belongs to the word
    EXPECT_EQ(verdicts(), std::make_pair(1, 1));
    write_file("deny", "alice\n");  // the client's line end is cut before the lookup
    EXPECT_EQ(check("alice\r\n", "apw\r\n").verdict, verdict_refused);
}

TEST_F(AccessListLogin, UnreadableDenyListRefusesEveryone) {
    deny_ = dir_;
    EXPECT_EQ(verdicts(), std::make_pair(0, 0));
}

TEST_F(AccessListLogin, AllowListAdmitsOnlyListedNames) {
    write_file("deny", "");
    write_file("allow", "bob\n");
    EXPECT_EQ(verdicts(), std::make_pair(0, 1));
    write_file("allow", "alice\nbob\n");
    EXPECT_EQ(verdicts(), std::make_pair(1, 1));
    write_file("allow", "");
    EXPECT_EQ(verdicts(), std::make_pair(0, 0));
    write_file("deny", "bob\n");  // the deny list still applies to allowed names
    write_file("allow", "alice\nbob\n");
    EXPECT_EQ(verdicts(), std::make_pair(1, 0));
}

TEST_F(AccessListLogin, UnreadableAllowListRefusesEveryone) {
    write_file("deny", "");
    allow_ = dir_;
    EXPECT_EQ(verdicts(), std::make_pair(0, 0));
}

TEST_F(AccessListLogin, ListsDoNotReplaceThePassword) {
    write_file("deny", "");
    write_file("allow", "alice\n");
    EXPECT_EQ(check("alice", "bpw").verdict, verdict_refused);
}

TEST_F(AccessListLogin, LargeDenyList) {
    std::string names;
    while (names.size() < (1u << 20)) names += "user" + std::to_string(names.size()) + "\n";
    write_file("deny", names + "bob\n");
    EXPECT_EQ(verdicts(), std::make_pair(1, 0));
}

TEST_F(AccessListLogin, ListsAreIgnoredWhenSwitchedOff) {
    settings.use_access_lists = 0;
    write_file("allow", "bob\n");
    EXPECT_EQ(verdicts(), std::make_pair(1, 1));
}

}  // namespace
