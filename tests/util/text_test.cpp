#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "util/strlcpy.hpp"
#include "util/text.hpp"

namespace {

using tollmar::util::cut_at_line_end;
using tollmar::util::starts_with_nocase;
using tollmar::util::strlcpy;

TEST(Strlcpy, CopiesCutsAndAlwaysTerminates) {
    struct Case {
        const char* src;
        std::size_t size;
        const char* expected;
    };
    const Case cases[] = {
        {"hello", 10, "hello"}, {"hello", 6, "hello"}, {"hello", 5, "hell"},
        {"hello", 1, ""},       {"", 4, ""},
    };
    for (const Case& c : cases) {
        char buf[16];
        std::memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(strlcpy(buf, c.src, c.size), std::strlen(c.src)) << c.src << " " << c.size;
        EXPECT_STREQ(buf, c.expected) << c.src << " " << c.size;
        EXPECT_EQ(buf[std::strlen(c.expected) + 1], 'Z') << "wrote past the terminator";
    }
}

TEST(Strlcpy, SizeZeroWritesNothing) {
    char buf[2] = {'Z', 'Z'};
    EXPECT_EQ(strlcpy(buf, "abc", 0), 3u);
    EXPECT_EQ(buf[0], 'Z');
}

TEST(StartsWithNocase, ComparesFixedLengthIgnoringCase) {
    EXPECT_TRUE(starts_with_nocase("quit", "QUIT", 4));
    EXPECT_TRUE(starts_with_nocase("QuItTiNg", "QUIT", 4));
    EXPECT_TRUE(starts_with_nocase("user alice", "USER ", 5));
    EXPECT_FALSE(starts_with_nocase("USER", "USER ", 5));         // shorter than the word
    EXPECT_FALSE(starts_with_nocase("USER\talice", "USER ", 5));  // the blank is part of it
    EXPECT_FALSE(starts_with_nocase("", "STAT", 4));
    EXPECT_FALSE(starts_with_nocase("ST@T", "STAT", 4));
    // Letters only: '@' (0x40) and '`' (0x60) differ by the case bit but are not letters.
    EXPECT_FALSE(starts_with_nocase("`", "@", 1));
}

TEST(CutAtLineEnd, CutsAtFirstCrElseFirstLf) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"alice\r\n", "alice"}, {"alice\n", "alice"}, {"alice", "alice"},
        {"al\rice\n", "al"},    {"a\nb\rc", "a\nb"},  {"", ""},
    };
    for (const Case& c : cases) {
        std::string s = c.in;
        cut_at_line_end(s.data());
        EXPECT_STREQ(s.c_str(), c.out) << c.in;
    }
}

}  // namespace
