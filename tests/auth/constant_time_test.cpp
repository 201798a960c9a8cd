#include <string>

#include <gtest/gtest.h>

#include "auth/constant_time.hpp"

namespace {

using tollmar::auth::hex_equal_constant_time;
using tollmar::auth::texts_equal_constant_time;

TEST(TextsEqualConstantTime, ComparesWholeTexts) {
    const struct {
        const char* given;
        const char* stored;
        bool equal;
    } cases[] = {
        {"", "", true},
        {"a", "", false},
        {"", "a", false},
        {"abc", "abc", true},
        {"abc", "abd", false},
        {"abd", "abc", false},
        {"abc", "abcd", false},
        {"abcd", "abc", false},
        {"abc", "ABC", false},
        {"ab\x80", "ab\x80", true},
        {"ab\x80", "ab\x81", false},
        {"abcabcabc", "abc", false},  // the wrapped index must not fake a match
    };
    for (const auto& c : cases) {
        EXPECT_EQ(texts_equal_constant_time(c.given, c.stored), c.equal)
            << '"' << c.given << "\" vs \"" << c.stored << '"';
    }
}

TEST(TextsEqualConstantTime, LongGivenAgainstShortStoredStaysInBounds) {
    const std::string given(10000, 'x');
    EXPECT_FALSE(texts_equal_constant_time(given.c_str(), "x"));
    EXPECT_TRUE(texts_equal_constant_time(given.c_str(), given.c_str()));
}

TEST(HexEqualConstantTime, IgnoresLetterCaseOnly) {
    const struct {
        const char* a;
        const char* b;
        bool equal;
    } cases[] = {
        {"0123456789abcdef", "0123456789ABCDEF", true},
        {"0123456789abcdef", "0123456789abcdee", false},
        {"a0", "b0", false},
        {"@", "`", false},  // differ in the case bit but are not letters
        {"[", "{", false},
        {"Z", "z", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hex_equal_constant_time(c.a, c.b, std::string(c.a).size()), c.equal)
            << c.a << " vs " << c.b;
    }
    EXPECT_TRUE(hex_equal_constant_time("abcX", "ABCY", 3));
}

}  // namespace
