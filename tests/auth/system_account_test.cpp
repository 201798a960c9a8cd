#include <pwd.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "auth/credential_checks.hpp"
#include "auth/credentials.hpp"
#include "config/settings.hpp"

namespace {

using namespace tollmar::auth;
using tollmar::config::settings;

// From the published SHA-crypt test vectors.
constexpr const char* sha512_hello =
    "$6$saltstring$svn8UoSVapNtMuq1ukKS4tPQd8iKwSMHWjl/O817G3uBnIFNjnQJuesI68u4OTLiBFdcbYEdFCoEOf"
    "aS35inz1";

TEST(StoredHash, AcceptsOnlyTheHashedPassword) {
    const struct {
        const char* password;
        const char* stored;
        int verdict;
    } cases[] = {
        {"Hello world!", sha512_hello, 1},
        {"Hello world", sha512_hello, 0},
        {"hello world!", sha512_hello, 0},
        {"", sha512_hello, 0},
        {"Hello world!", "$6$saltstring$svn8UoSVapNtMuq1ukKS4tPQd8iKwSMHWjl", 0},
        {"Hello world!", "$6$saltstring$", 0},
        // locked and placeholder fields give crypt no hash to reproduce
        {"x", "*", 0},
        {"x", "!", 0},
        {"x", "x", 0},
        {"", "", 0},
        {"anything", "", 0},
        {"*0", "*0", 0},
        {"Hello world!",
         "!$6$saltstring$svn8UoSVapNtMuq1ukKS4tPQd8iKwSMHWjl/O817G3uBnIFNjnQJuesI68u4OTLiBFdcbYEdF"
         "CoEOfaS35inz1",
         0},
        // the throw-away hashes used for unknown accounts are real hashes
        {"tollmar-dummy",
         "$y$j9T$zfI.4CCBthL9/b4rXdy9..$k9dbJ25d0MsHVJgBPs9xLF98m3h8XTtwf0qqgXBcqV.", 1},
        {"tollmar-dummy",
         "$6$648ZYqnIvRYGn1wd$ccF2wEcCmGBTJ00kkNmpUZT61f85RQbvMS0FCY/090Gprt1Nfbe0Z2E1z15NpBq.A5sQI"
         "Ol9Y4F.cvFs6maJ3.",
         1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(check_stored_hash(c.password, c.stored), c.verdict)
            << '"' << c.password << "\" against \"" << c.stored << '"';
    }
}

class SystemAccount : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = settings;
        settings.auth_file = nullptr;
        settings.use_access_lists = 0;
    }
    void TearDown() override { settings = saved_; }
    tollmar::config::settings_record saved_;
};

// An unknown account is refused exactly like a wrong password, so that a
// client cannot tell which names exist; only the reason knows.
TEST_F(SystemAccount, UnknownAccountIsRefusedLikeAWrongPassword) {
    const char* name = "tollmar-no-such-account";
    ASSERT_EQ(getpwnam(name), nullptr);
    for (const login_result& result :
         {check_system_account(name, "pw"),
          check_credentials("tollmar-no-such-account\r\n", "pw\r\n"), check_credentials("", "")}) {
        EXPECT_EQ(result.verdict, verdict_refused);
        EXPECT_EQ(result.reason, refusal_unknown_account);
    }
    EXPECT_STREQ(refusal_text(refusal_unknown_account), "unknown account");
}

TEST_F(SystemAccount, WrongPasswordForAnExistingAccountIsRefused) {
    ASSERT_NE(getpwnam("root"), nullptr);
    const login_result result = check_credentials("root\r\n", "not the password of root\r\n");
    EXPECT_EQ(result.verdict, verdict_refused);
    // root's field may be locked on a build machine; either way no acceptance
    EXPECT_TRUE(result.reason == refusal_wrong_password || result.reason == refusal_no_password)
        << refusal_text(result.reason);
    EXPECT_STREQ(result.mapped_user, "");
    EXPECT_STREQ(result.maildrop, "");
}

TEST(RefusalText, EveryReasonHasItsOwnWords) {
    const refusal_reason reasons[] = {
        refusal_missing_argument,     refusal_unknown_account,  refusal_no_password,
        refusal_incomplete_entry,     refusal_too_long,         refusal_wrong_password,
        refusal_root_account,         refusal_access_lists,     refusal_lists_unreadable,
        refusal_auth_file_unreadable, refusal_prelogin_account,
    };
    std::set<std::string> seen{refusal_text(refusal_none)};
    for (refusal_reason r : reasons) {
        EXPECT_TRUE(seen.insert(refusal_text(r)).second) << refusal_text(r);
    }
}

}  // namespace
