#include "auth/sasl_plain.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

namespace {

using tollmar::auth::decode_plain;
using tollmar::auth::plain_response;

std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

bool decode(const std::string& text, plain_response& out) {
    return decode_plain(text.data(), text.size(), out);
}

TEST(DecodePlain, SplitsTheThreeFields) {
    const struct {
        std::string raw;
        const char* authzid;
        const char* authcid;
        const char* password;
    } cases[] = {
        {std::string("\0alice\0s3cret", 13), "", "alice", "s3cret"},
        {std::string("alice\0alice\0s3cret", 18), "alice", "alice", "s3cret"},
        {std::string("bob\0alice\0pw with blanks", 24), "bob", "alice", "pw with blanks"},
        // Every padding length.
        {std::string("\0a\0b", 4), "", "a", "b"},
        {std::string("\0a\0bc", 5), "", "a", "bc"},
        {std::string("\0a\0bcd", 6), "", "a", "bcd"},
        {std::string("\0\xc3\xa9t\xc3\xa9\0\xff\x01", 9), "", "\xc3\xa9t\xc3\xa9", "\xff\x01"},
    };
    for (const auto& c : cases) {
        plain_response out{};
        ASSERT_TRUE(decode(base64(c.raw), out)) << base64(c.raw);
        EXPECT_STREQ(out.authzid, c.authzid);
        EXPECT_STREQ(out.authcid, c.authcid);
        EXPECT_STREQ(out.password, c.password);
    }
}

TEST(DecodePlain, RefusesAnythingButOneStrictForm) {
    const std::string good = base64(std::string("\0alice\0s3cret", 13));
    const std::string refused[] = {
        "",
        "=",
        "====",
        good.substr(0, good.size() - 1),  // not whole groups
        " " + good,
        good + " ",
        good + "\r\n",
        good.substr(0, 4) + "\n" + good.substr(4),
        good.substr(0, 4) + "=" + good.substr(5),  // padding inside
        "AGEAY===",                                // three pads
        "AGE=AGI=",                                // padding mid-text
        "AGEAYg==AA==",
        "AGEAYh==",              // unused bits set: a second spelling of "AGEAYg=="
        "AGEAYmN=",              // and of "AGEAYmM="
        "AGEAYg-_",              // the URL alphabet
        std::string(4100, 'A'),  // longer than a command line carries
        base64(std::string("alice\0s3cret", 12)),      // two fields
        base64(std::string("\0alice\0s3cret\0", 14)),  // four fields
        base64(std::string("\0\0s3cret", 8)),          // no authentication identity
        base64(std::string("\0alice\0", 7)),           // no password
        base64(std::string("\0ali\rce\0s3cret", 14)),  // CR in a field
        base64(std::string("\0alice\0s3\ncret", 14)),  // LF in a field
        base64(std::string("x\ny\0alice\0s3cret", 16)),
    };
    for (const std::string& text : refused) {
        plain_response out{};
        out.authcid[0] = 'x';
        EXPECT_FALSE(decode(text, out)) << text;
        EXPECT_EQ(out.authcid[0], '\0') << text;  // nothing half-filled is left
    }
}

TEST(DecodePlain, TakesTheLongestResponseALineCarries) {
    std::string raw(1, '\0');
    raw += std::string(1000, 'n');
    raw += '\0';
    raw += std::string(2000, 'p');
    const std::string text = base64(raw);
    ASSERT_LE(text.size(), tollmar::auth::plain_response_text_max);
    plain_response out{};
    ASSERT_TRUE(decode(text, out));
    EXPECT_EQ(std::string(out.authcid), std::string(1000, 'n'));
    EXPECT_EQ(std::string(out.password), std::string(2000, 'p'));
}

}  // namespace
