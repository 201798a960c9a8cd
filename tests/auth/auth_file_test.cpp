#include <openssl/evp.h>
#include <pwd.h>

#include <cctype>
#include <cstring>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "auth/credential_checks.hpp"
#include "auth/credentials.hpp"
#include "config/settings.hpp"
#include "temp_dir.hpp"

namespace {

using namespace tollmar::auth;
using tollmar::config::settings;
using namespace std::string_literals;

// The stored form of a digest entry, computed with OpenSSL so that the check
// is held against an implementation other than its own.
std::string digest_of_text(const std::string& text) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(text.data(), text.size(), md, &length, EVP_md5(), nullptr), 1);
    static const char digits[] = "0123456789abcdef";
    std::string entry = "MD5-";
    for (unsigned int i = 0; i < length; ++i) {
        entry += digits[md[i] >> 4];
        entry += digits[md[i] & 15];
    }
    return entry;
}

std::string digest_entry(const std::string& password, const std::string& name) {
    return digest_of_text(password + "\n" + name + "\ntollmar");
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

class AuthFile : public tollmar::test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        saved_ = settings;
        settings.use_access_lists = 0;
    }
    void TearDown() override {
        settings = saved_;
        TempDirTest::TearDown();
    }

public:
    login_result check_with_file(const std::string& content, const std::string& name,
                                 const std::string& password) {
        const std::string path = write_file("users", content);
        settings.auth_file = path.c_str();
        const login_result result = check_credentials(name.c_str(), password.c_str());
        settings.auth_file = saved_.auth_file;
        return result;
    }

    tollmar::config::settings_record saved_;
};

struct file_case {
    std::string content;
    std::string name;
    std::string password;
    int verdict;
    const char* mapped_user;
    const char* maildrop;
};

void expect_cases(AuthFile& test, const file_case* begin, const file_case* end);

TEST_F(AuthFile, ClearPasswordEntries) {
    const std::string entry = "alice:secret:mailer:/var/mail/alice\n";
    const file_case cases[] = {
        {entry, "alice", "secret", 1, "mailer", "/var/mail/alice"},
        {entry, "alice", "wrong", 0, "", ""},
        {entry, "alice", "Secret", 0, "", ""},
        {entry, "alice", "secre", 0, "", ""},
        {entry, "alice", "secrets", 0, "", ""},
        {entry, "alice", "", 0, "", ""},
        {entry, "bob", "secret", 0, "", ""},
        {entry, "Alice", "secret", 0, "", ""},
        {entry, "alic", "secret", 0, "", ""},
        {entry, "", "secret", 0, "", ""},
        // line ends of the client's text are cut off
        {entry, "alice\r\n", "secret\r\n", 1, "mailer", "/var/mail/alice"},
        {entry, "alice\n", "secret\n", 1, "mailer", "/var/mail/alice"},
        {entry, "alice\r", "secret\r", 1, "mailer", "/var/mail/alice"},
        {entry, "alice\rjunk\n", "secret\nmore\r", 0, "", ""},
        // file layout
        {"alice:secret:mailer:/mb", "alice", "secret", 1, "mailer", "/mb"},
        {"alice:secret:mailer:/mb\r\n", "alice", "secret", 1, "mailer", "/mb\r"},
        {"alice:secret:mailer:/mb:anything else\n", "alice", "secret", 1, "mailer", "/mb"},
        {"alice::secret:mailer:/mb\n", "alice", "secret", 1, "mailer", "/mb"},
        {":alice:secret:mailer:/mb\n", "alice", "secret", 1, "mailer", "/mb"},
        {"alice:secret:::mailer:/mb\n", "alice", "secret", 1, "mailer", "/mb"},
        {"bob:x:b:/b\n# note\nalice:secret:mailer:/mb\n", "alice", "secret", 1, "mailer", "/mb"},
    };
    expect_cases(*this, std::begin(cases), std::end(cases));
}

TEST_F(AuthFile, LinesWithFewerThanFourFieldsNeverAccept) {
    const file_case cases[] = {
        {"alice:secret:mailer\n", "alice", "secret", 0, "", ""},
        {"alice:secret:mailer", "alice", "secret", 0, "", ""},
        {"alice:secret:mailer:\n", "alice", "secret", 0, "", ""},
        {"alice:secret::/mb\n", "alice", "secret", 0, "", ""},  // shifts /mb into field 3
        {"alice:secret\n", "alice", "secret", 0, "", ""},
        {"alice:secret\n", "alice", "secret\n", 0, "", ""},
        {"alice:\n", "alice", "\n", 0, "", ""},
        {"alice\n", "alice", "secret", 0, "", ""},
        {"alice", "alice", "secret", 0, "", ""},
        {"alice:", "alice", "secret", 0, "", ""},
        {"", "alice", "secret", 0, "", ""},
        {"\n\n\n", "alice", "secret", 0, "", ""},
        {":::\n", "alice", "secret", 0, "", ""},
        {"alice::mailer:/mb\n", "alice", "", 0, "", ""},
    };
    expect_cases(*this, std::begin(cases), std::end(cases));
}

TEST_F(AuthFile, FirstLineForTheLoginDecides) {
    const file_case cases[] = {
        {"alice:wrong:a:/1\nalice:secret:b:/2\n", "alice", "secret", 0, "", ""},
        {"alice:secret:a:/1\nalice:other:b:/2\n", "alice", "secret", 1, "a", "/1"},
        {"alice:secret:a\nalice:secret:b:/2\n", "alice", "secret", 0, "", ""},
        {"alice2:secret:x:/x\nalice:secret:a:/1\n", "alice", "secret", 1, "a", "/1"},
    };
    expect_cases(*this, std::begin(cases), std::end(cases));
}

TEST_F(AuthFile, DigestEntries) {
    const std::string good = digest_entry("secret", "alice");
    std::string other_fourth = good;
    other_fourth[3] = '?';
    std::string one_digit_off = good;
    one_digit_off[35] = one_digit_off[35] == '0' ? '1' : '0';
    const std::string tail = ":mailer:/mb\n";
    const file_case cases[] = {
        {"alice:" + good + tail, "alice", "secret", 1, "mailer", "/mb"},
        {"alice:" + good + tail, "alice", "secret\r\n", 1, "mailer", "/mb"},
        {"alice:" + good + tail, "alice", "wrong", 0, "", ""},
        {"alice:" + good + tail, "alice", good, 0, "", ""},  // the stored text is no password
        {"alice:" + upper(good) + tail, "alice", "secret", 1, "mailer", "/mb"},
        {"alice:" + other_fourth + tail, "alice", "secret", 1, "mailer", "/mb"},
        {"alice:" + one_digit_off + tail, "alice", "secret", 0, "", ""},
        // the name is part of the digested text
        {"bob:" + good + tail, "bob", "secret", 0, "", ""},
        // "md5-" in lower case is not a digest entry but a clear password
        {"alice:md5" + good.substr(3) + tail, "alice", "md5" + good.substr(3), 1, "mailer", "/mb"},
    };
    expect_cases(*this, std::begin(cases), std::end(cases));
}

TEST_F(AuthFile, ThirtySixCharactersBeginningWithMd5AreAlwaysADigest) {
    const std::string looks_like_digest = "MD5-zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz";
    ASSERT_EQ(looks_like_digest.size(), 36u);
    const std::string shorter = looks_like_digest.substr(0, 35);
    const std::string longer = looks_like_digest + "z";
    const file_case cases[] = {
        {"alice:" + looks_like_digest + ":m:/mb\n", "alice", looks_like_digest, 0, "", ""},
        {"alice:" + shorter + ":m:/mb\n", "alice", shorter, 1, "m", "/mb"},
        {"alice:" + longer + ":m:/mb\n", "alice", longer, 1, "m", "/mb"},
    };
    expect_cases(*this, std::begin(cases), std::end(cases));
}

TEST_F(AuthFile, DigestLengthLimit) {
    const std::string name = "alice";
    const std::string fits(1014 - name.size(), 'p');
    const std::string too_long(1015 - name.size(), 'p');
    // What a 1024-byte buffer would keep of the text if the limit were not
    // enforced: the login must still be refused.
    const std::string kept = (too_long + "\n" + name + "\ntollmar").substr(0, 1023);
    const file_case cases[] = {
        {name + ":" + digest_of_text(kept) + ":m:/mb\n", name, too_long, 0, "", ""},
        {name + ":" + digest_entry(fits, name) + ":m:/mb\n", name, fits, 1, "m", "/mb"},
        {name + ":" + digest_entry(too_long, name) + ":m:/mb\n", name, too_long, 0, "", ""},
        // clear passwords have no such limit
        {name + ":" + too_long + too_long + ":m:/mb\n", name, too_long + too_long, 1, "m", "/mb"},
    };
    expect_cases(*this, std::begin(cases), std::end(cases));
}

TEST_F(AuthFile, LongLinesAreSplitAt4096Characters) {
    const std::string filler(4096, 'x');
    const std::string long_password(4090, 'q');
    const file_case cases[] = {
        // the continuation of an overlong line is read as a line of its own
        {filler + "alice:secret:m:/mb\n", "alice", "secret", 1, "m", "/mb"},
        {filler + "x" + "alice:secret:m:/mb\n", "alice", "secret", 0, "", ""},
        // fields cut by the split are lost to the next piece
        {"alice:" + long_password + ":m:/mb\n", "alice", long_password, 0, "", ""},
        {"alice:" + std::string(4089, 'q') + ":m:/mb\n", "alice", std::string(4089, 'q'), 0, "",
         ""},
        {"alice:" + std::string(4080, 'q') + ":m:/mb\n", "alice", std::string(4080, 'q'), 1, "m",
         "/mb"},
    };
    expect_cases(*this, std::begin(cases), std::end(cases));
}

TEST_F(AuthFile, HostileBytes) {
    const file_case cases[] = {
        {"alice\0:secret:m:/mb\n"s, "alice", "secret", 0, "", ""},
        {"alice:sec\0ret:m:/mb\n"s, "alice", "sec", 0, "", ""},
        {"bob:x:b:/b\0junk\nalice:secret:m:/mb\n"s, "alice", "secret", 1, "m", "/mb"},
        {"\xff\xfe:\x80:\x81:\x82\n", "\xff\xfe", "\x80", 1, "\x81", "\x82"},
        {std::string(10000, ':') + "\nalice:secret:m:/mb\n", "alice", "secret", 1, "m", "/mb"},
        {std::string(10000, '\n') + "alice:secret:m:/mb\n", "alice", "secret", 1, "m", "/mb"},
    };
    expect_cases(*this, std::begin(cases), std::end(cases));
}

TEST_F(AuthFile, OverlongClientTextsAreCutTo4096) {
    const std::string name(5000, 'n');
    const file_case cases[] = {
        {std::string(4096, 'n') + ":pw:m:/mb\n", name, "pw", 0, "", ""},
        {std::string(4096, 'n') + "\n" + std::string(4096, 'n') + "\n", name, "pw", 0, "", ""},
    };
    expect_cases(*this, std::begin(cases), std::end(cases));
}

TEST_F(AuthFile, MissingOrUnreadableFileRefuses) {
    const std::string absent = path_of("absent");
    settings.auth_file = absent.c_str();
    const login_result missing = check_credentials("alice", "secret");
    EXPECT_EQ(missing.verdict, verdict_refused);
    EXPECT_EQ(missing.reason, refusal_auth_file_unreadable);
    settings.auth_file = dir_.c_str();  // opens, but every read fails
    EXPECT_EQ(check_credentials("alice", "secret").verdict, verdict_refused);
}

// Every refusal gives the same verdict; the reason kept for the log tells the
// cases apart.
TEST_F(AuthFile, RefusalsNameTheirCause) {
    const std::string file =
        "alice:secret:m:/mb\nshort:pw:acct\nlong:" + digest_entry("x", "long") +
        ":m:/mb\nroot:pw:root:/mb\njailmate:pw:nobody:/mb\n";
    const struct {
        std::string name;
        std::string password;
        int verdict;
        refusal_reason reason;
    } cases[] = {
        {"alice", "secret", 1, refusal_none},
        {"alice", "wrong", 0, refusal_wrong_password},
        {"nobody", "secret", 0, refusal_unknown_account},
        {"short", "pw", 0, refusal_incomplete_entry},
        {"long", std::string(1100, 'p'), 0, refusal_too_long},
        // an entry that maps to an account with user id 0 never logs in
        {"root", "pw", 0, refusal_root_account},
        {"root", "bad", 0, refusal_wrong_password},
        // nor one that maps to the pre-login processes' account (-u, nobody):
        // its session would share their user id
        {"jailmate", "pw", 0, refusal_prelogin_account},
    };
    const struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    set_prelogin_uid(nobody->pw_uid);
    for (const auto& c : cases) {
        const login_result result = check_with_file(file, c.name, c.password);
        EXPECT_EQ(result.verdict, c.verdict) << c.name;
        EXPECT_EQ(result.reason, c.reason) << c.name << ": " << refusal_text(result.reason);
        // Only an acceptance names an account: the root entry's mapping is dropped.
        EXPECT_STREQ(result.mapped_user, c.verdict == 1 ? "m" : "") << c.name;
    }
    set_prelogin_uid(0);
}

TEST_F(AuthFile, OnlyAnAcceptanceCarriesTheIdentity) {
    const login_result accepted = check_with_file("alice:secret:m:/mb\n", "alice", "secret");
    EXPECT_EQ(accepted.verdict, verdict_accepted);
    EXPECT_STREQ(accepted.mapped_user, "m");
    EXPECT_STREQ(accepted.maildrop, "/mb");
    const login_result refused = check_with_file("alice:secret:m:/mb\n", "alice", "wrong");
    EXPECT_STREQ(refused.mapped_user, "");
    EXPECT_STREQ(refused.maildrop, "");

    for (const login_result& missing :
         {check_credentials(nullptr, "secret"), check_credentials("alice", nullptr)}) {
        EXPECT_EQ(missing.verdict, verdict_temporary);
        EXPECT_EQ(missing.reason, refusal_missing_argument);
        EXPECT_STREQ(missing.mapped_user, "");
        EXPECT_STREQ(missing.maildrop, "");
    }
}

TEST(WorkCopy, CutsAtFirstCrElseFirstLfThenTo4096) {
    const std::string xs(5000, 'x');
    const struct {
        std::string text;
        std::string copy;
    } cases[] = {
        {"abc\r\n", "abc"},
        {"abc\n", "abc"},
        {"abc", "abc"},
        {"", ""},
        {"\r", ""},
        {"\n\r", "\n"},
        {"a\nb\rc", "a\nb"},
        {"ab\rc\nd\re", "ab"},
        {xs, xs.substr(0, 4096)},
        {xs + "\r", xs.substr(0, 4096)},
        {"a\n" + xs + "\r", "a\n" + xs.substr(0, 4094)},
        {xs.substr(0, 4096) + "\n", xs.substr(0, 4096)},
    };
    for (const auto& c : cases) {
        char copy[longest_credential + 1];
        std::memset(copy, '#', sizeof copy);
        make_work_copy(c.text.c_str(), copy);
        EXPECT_EQ(std::string(copy), c.copy) << c.text.size();
    }
}

void expect_cases(AuthFile& test, const file_case* begin, const file_case* end) {
    for (const file_case* c = begin; c != end; ++c) {
        const login_result result = test.check_with_file(c->content, c->name, c->password);
        EXPECT_EQ(result.verdict, c->verdict)
            << "case " << (c - begin) << ": name \"" << c->name.substr(0, 40) << "\" in \""
            << c->content.substr(0, 80) << '"';
        EXPECT_STREQ(result.mapped_user, c->mapped_user) << "case " << (c - begin);
        EXPECT_STREQ(result.maildrop, c->maildrop) << "case " << (c - begin);
    }
}

}  // namespace
