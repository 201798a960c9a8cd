// STAT, LIST, DELE and RSET over a message table, and the numeric arguments.
#include "session/commands.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cmd_fixture.hpp"
#include "session/msg_number.hpp"

namespace tollmar::session {
namespace {

using test::capture;

class empty_table : public test::message_folder {};

std::string stat_reply() {
    return capture([](int fd) { cmd_stat(fd, "STAT\r\n"); });
}
std::string rset_reply() {
    return capture([](int fd) { cmd_rset(fd, "RSET\r\n"); });
}

TEST_F(empty_table, EveryCommandSeesNoMessage) {
    EXPECT_EQ(stat_reply(), "+OK 0 0\r\n");

    EXPECT_EQ(capture([](int fd) { cmd_list(fd, "LIST\r\n"); }), "+OK\r\n.\r\n");
    EXPECT_EQ(capture([](int fd) { cmd_uidl(fd, "UIDL\r\n"); }), "+OK\r\n.\r\n");
    EXPECT_EQ(capture([](int fd) { cmd_retr(fd, "RETR 1\r\n"); }), "-ERR no such message\r\n");
    EXPECT_EQ(capture([](int fd) { cmd_top(fd, "TOP 1 0\r\n"); }), "-ERR no such message\r\n");
    EXPECT_EQ(capture([](int fd) { cmd_dele(fd, "DELE 1\r\n"); }), "-ERR no such message\r\n");
    EXPECT_EQ(capture([](int fd) { cmd_list(fd, "LIST 1\r\n"); }), "-ERR no such message\r\n");
}

class three_messages : public test::message_folder {
protected:
    void SetUp() override {
        message_folder::SetUp();
        fill({"From a\n1\n", "From b\n22\n", "From c\n333\n"}, {10, 20, 4294967296LL});
    }
};

struct reply_case {
    const char* line;
    const char* reply;
};

constexpr const char* full_list = "+OK\r\n1 10\r\n2 20\r\n3 4294967296\r\n.\r\n";

TEST_F(three_messages, ListForms) {
    const reply_case cases[] = {
        {"LIST 0\r\n", "-ERR no such message\r\n"},
        {"LIST -1\r\n", "-ERR no such message\r\n"},
        {"LIST 4\r\n", "-ERR no such message\r\n"},
        // Would wrap to 2 in a 32-bit conversion.
        {"LIST 4294967298\r\n", "-ERR no such message\r\n"},
        {"LIST -4294967294\r\n", "-ERR no such message\r\n"},
        {"LIST 2\r\n", "+OK 2 20\r\n"},
        {"LIST 3\r\n", "+OK 3 4294967296\r\n"},
        {"LIST +1\r\n", "+OK 1 10\r\n"},
        {"LIST \t 2\r\n", "+OK 2 20\r\n"},
        {"LIST 2abc\r\n", "+OK 2 20\r\n"},
        {"LIST 1 3\r\n", "+OK 1 10\r\n"},
        {"LISTX2\r\n", "+OK 2 20\r\n"},  // the argument starts at a fixed position
        {"LIST abc\r\n", full_list},
        {"LIST - 2\r\n", full_list},
        {"LIST\r\n", full_list},
        {"LIST\n", full_list},
        {"LIST", full_list},
        {"LIST \r\n", full_list},
    };
    for (const reply_case& c : cases) {
        EXPECT_EQ(capture([&](int fd) { cmd_list(fd, c.line); }), c.reply) << c.line;
    }
}

TEST_F(three_messages, DeletedMessageKeepsTheNumbersOfTheOthers) {
    EXPECT_EQ(capture([](int fd) { cmd_dele(fd, "DELE 2\r\n"); }), "+OK\r\n");
    EXPECT_EQ(capture([](int fd) { cmd_list(fd, "LIST 2\r\n"); }), "-ERR no such message\r\n");
    EXPECT_EQ(capture([](int fd) { cmd_list(fd, "LIST\r\n"); }),
              "+OK\r\n1 10\r\n3 4294967296\r\n.\r\n");
    EXPECT_EQ(capture([](int fd) { cmd_retr(fd, "RETR 2\r\n"); }), "-ERR no such message\r\n");
    EXPECT_EQ(capture([](int fd) { cmd_top(fd, "TOP 2 1\r\n"); }), "-ERR no such message\r\n");
    EXPECT_EQ(capture([](int fd) { cmd_uidl(fd, "UIDL 2\r\n"); }), "-ERR no such message\r\n");
    EXPECT_EQ(capture([](int fd) { cmd_list(fd, "LIST 3\r\n"); }), "+OK 3 4294967296\r\n");

    EXPECT_EQ(stat_reply(), "+OK 2 " + std::to_string(10 + 4294967296LL) + "\r\n");

    EXPECT_EQ(rset_reply(), "+OK\r\n");
    EXPECT_EQ(capture([](int fd) { cmd_list(fd, "LIST\r\n"); }), full_list);
    EXPECT_EQ(stat_reply(), "+OK 3 " + std::to_string(30 + 4294967296LL) + "\r\n");
}

TEST_F(three_messages, DeleReplies) {
    struct dele_case {
        const char* line;
        const char* reply;
        std::uint32_t marks[3];  // deletion marks afterwards, starting from none
    };
    const dele_case cases[] = {
        {"DELE 1\r\n", "+OK\r\n", {1, 0, 0}},
        {"DELE 3\r\n", "+OK\r\n", {0, 0, 1}},
        {"DELE 2abc\r\n", "+OK\r\n", {0, 1, 0}},
        {"DELE 0\r\n", "-ERR no such message\r\n", {0, 0, 0}},
        {"DELE 4\r\n", "-ERR no such message\r\n", {0, 0, 0}},
        {"DELE 5\r\n", "-ERR no such message\r\n", {0, 0, 0}},
        {"DELE -1\r\n", "-ERR no such message\r\n", {0, 0, 0}},
        {"DELE 4294967297\r\n", "-ERR no such message\r\n", {0, 0, 0}},
        {"DELE -4294967295\r\n", "-ERR no such message\r\n", {0, 0, 0}},
        {"DELE x\r\n", "-ERR invalid arguments\r\n", {0, 0, 0}},
        {"DELE \r\n", "-ERR invalid arguments\r\n", {0, 0, 0}},
        {"DELE", "-ERR invalid arguments\r\n", {0, 0, 0}},
    };
    for (const dele_case& c : cases) {
        EXPECT_EQ(rset_reply(), "+OK\r\n");
        EXPECT_EQ(capture([&](int fd) { cmd_dele(fd, c.line); }), c.reply) << c.line;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(session::drop.messages.entries[i].deleted, c.marks[i]) << c.line << " #" << i;
    }
}

TEST_F(three_messages, EveryDeleMarksTheMaildropForRewriteAndRsetClearsTheMark) {
    maildrop_dirty = false;
    EXPECT_EQ(capture([](int fd) { cmd_dele(fd, "DELE 9\r\n"); }), "-ERR no such message\r\n");
    EXPECT_TRUE(maildrop_dirty);
    EXPECT_EQ(rset_reply(), "+OK\r\n");
    EXPECT_FALSE(maildrop_dirty);
    EXPECT_EQ(capture([](int fd) { cmd_dele(fd, "DELE 1\r\n"); }), "+OK\r\n");
    EXPECT_TRUE(maildrop_dirty);
    EXPECT_EQ(stat_reply(), "+OK 2 " + std::to_string(20 + 4294967296LL) + "\r\n");
}

TEST_F(three_messages, DeleOfADeletedMessageIsAcceptedAgain) {
    EXPECT_EQ(capture([](int fd) { cmd_dele(fd, "DELE 1\r\n"); }), "+OK\r\n");
    EXPECT_EQ(capture([](int fd) { cmd_dele(fd, "DELE 1\r\n"); }), "+OK\r\n");
    EXPECT_EQ(session::drop.messages.entries[0].deleted, 1u);
    EXPECT_EQ(capture([](int fd) { cmd_list(fd, "LIST\r\n"); }),
              "+OK\r\n2 20\r\n3 4294967296\r\n.\r\n");
}

TEST(msg_read_number, AgreesWithScanfWhereTheValueFits) {
    const char* inputs[] = {"0",   "1",   "42",         "  7", "\t\r\n9", "+5",   "-0",  "2abc",
                            "1 2", "007", "4294967295", "x",   "",        " ",    "-",   "+",
                            "- 1", "+-1", "\v\f3",      "99 ", "12\r\n",  "0x10", "3.5", "+0"};
    for (const char* input : inputs) {
        unsigned scanned = 0;
        const int scan_result = std::sscanf(input, "%u", &scanned);
        unsigned long value = 0;
        const char* end = nullptr;
        const int result = msg_read_number(input, &value, &end);
        EXPECT_EQ(result, scan_result == 1 ? 1 : 0) << '"' << input << '"';
        if (result == 1) {
            EXPECT_EQ(value, scanned) << '"' << input << '"';
            int consumed = 0;
            std::sscanf(input, "%*u%n", &consumed);
            EXPECT_EQ(end - input, consumed) << '"' << input << '"';
        }
    }
}

TEST(msg_read_number, NeverWrapsIntoASmallNumber) {
    const char* inputs[] = {"-1",
                            "-2",
                            "4294967296",
                            "4294967298",
                            "-4294967295",
                            "18446744073709551617",
                            "99999999999999999999999999999"};
    for (const char* input : inputs) {
        unsigned long value = 0;
        EXPECT_EQ(msg_read_number(input, &value, nullptr), 1) << input;
        EXPECT_EQ(value, msg_number_huge) << input;
    }
}

TEST(msg_argument, StartsAtAFixedPositionOrIsEmpty) {
    EXPECT_STREQ(msg_argument("LIST 3\r\n", 5), "3\r\n");
    EXPECT_STREQ(msg_argument("LIST\r\n", 5), "\n");
    EXPECT_STREQ(msg_argument("LIST", 5), "");
    EXPECT_STREQ(msg_argument("TOP 1 2", 4), "1 2");
    EXPECT_STREQ(msg_argument("", 5), "");
}

}  // namespace
}  // namespace tollmar::session
