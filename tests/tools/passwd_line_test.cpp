#include <openssl/evp.h>

#include <string>

#include <gtest/gtest.h>

#include "tools/passwd_line.hpp"

namespace {

using namespace tollmar::tools;
using namespace std::string_literals;

// The digest entry by another MD5 implementation, over the text the server
// digests: "password\nlogin\ntollmar".
std::string reference_entry(const std::string& login, const std::string& password) {
    const std::string text = password + "\n" + login + "\ntollmar";
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

TEST(PasswdLine, DigestMatchesTheServersText) {
    const struct {
        std::string login, password;
    } cases[] = {
        {"alice", "secret"},
        {"bob", "pa:ss word"},          // ":" and a blank are fine in a digested password
        {"jörg", "grüße€"},             // UTF-8 is digested byte for byte
        {"x", std::string(1013, 'p')},  // the longest pair the server digests
    };
    for (const auto& c : cases) {
        line_check check;
        const std::string line = build_line({c.login, c.password, "acct", "/var/mail/acct"}, check);
        EXPECT_EQ(check.problem, line_problem::none) << c.login;
        EXPECT_EQ(line,
                  c.login + ":" + reference_entry(c.login, c.password) + ":acct:/var/mail/acct");
    }
    // Login and password are not interchangeable in the digest.
    EXPECT_NE(digest_entry("a", "b"), digest_entry("b", "a"));
}

TEST(PasswdLine, RefusesWhatTheFileCannotHold) {
    // Named, so that the views in the table outlive it.
    const std::string pair_limit_login(1000, 'l');
    const std::string fifteen_characters(15, 'p');
    // One character more than fits: login "l", digest, account "acct", three ":".
    const std::string long_path = "/" + std::string(4095 - 3 - 36 - 1 - 4, 'm');
    const struct {
        line_fields fields;
        line_problem problem;
        const char* field;
    } cases[] = {
        {{"", "pw", "acct", "/m"}, line_problem::empty_field, "login"},
        {{"a:b", "pw", "acct", "/m"}, line_problem::colon_in_field, "login"},
        {{"a\nb", "pw", "acct", "/m"}, line_problem::line_end_in_field, "login"},
        {{"ab\r", "pw", "acct", "/m"}, line_problem::line_end_in_field, "login"},
        {{std::string_view("a\0b", 3), "pw", "acct", "/m"}, line_problem::nul_in_field, "login"},
        {{"l", "pw", "", "/m"}, line_problem::empty_field, "account"},
        {{"l", "pw", "ac:ct", "/m"}, line_problem::colon_in_field, "account"},
        {{"l", "pw", "acct", ""}, line_problem::empty_field, "maildrop"},
        {{"l", "pw", "acct", "/var/mail/a:b"}, line_problem::colon_in_field, "maildrop"},
        {{"l", "pw", "acct", "/var/mail/a\r"}, line_problem::line_end_in_field, "maildrop"},
        {{"l", "pw", "acct", "mail/l"}, line_problem::relative_maildrop, "maildrop"},
        {{"l", "", "acct", "/m"}, line_problem::empty_password, "password"},
        {{"l", "p\rw", "acct", "/m"}, line_problem::line_end_in_password, "password"},
        {{"l", "p\nw", "acct", "/m"}, line_problem::line_end_in_password, "password"},
        {{"l", std::string_view("p\0w", 3), "acct", "/m"},
         line_problem::nul_in_password,
         "password"},
        {{pair_limit_login, fifteen_characters, "acct", "/m"},
         line_problem::pair_too_long,
         nullptr},
        {{"l", "p", "acct", long_path}, line_problem::line_too_long, nullptr},
    };
    for (const auto& c : cases) {
        line_check check;
        const std::string line = build_line(c.fields, check);
        EXPECT_EQ(check.problem, c.problem) << c.fields.login << " / " << c.fields.maildrop;
        if (c.field == nullptr)
            EXPECT_EQ(check.field, nullptr);
        else
            EXPECT_STREQ(check.field, c.field);
        EXPECT_EQ(line, "");
        EXPECT_NE(std::string(problem_text(check.problem)), "");
    }
}

TEST(PasswdLine, LimitsAreInclusive) {
    line_check check;
    // 1014 characters of login and password together are accepted.
    build_line({std::string(1000, 'l'), std::string(14, 'p'), "acct", "/m"}, check);
    EXPECT_EQ(check.problem, line_problem::none);
    // A line of exactly 4095 characters fits the server's 4096 with its line feed.
    const std::string path = "/" + std::string(4095 - 3 - 36 - 1 - 4 - 1, 'm');
    const std::string line = build_line({"l", "p", "acct", path}, check);
    EXPECT_EQ(check.problem, line_problem::none);
    EXPECT_EQ(line.size(), longest_line);
}

}  // namespace
