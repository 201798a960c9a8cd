// TOP: the header up to its blank line, then a counted number of body lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "cmd_fixture.hpp"
#include "session/commands.hpp"

namespace tollmar::session {
namespace {

using test::capture;

std::string top(const std::string& line) {
    return capture([&line](int fd) { cmd_top(fd, line.c_str()); });
}

class top_command : public test::message_folder {};

TEST_F(top_command, HeaderBlankLineAndCountedBody) {
    fill({"From a\nH1: x\n.H2: y\n\nb1\n.b2\nb3\nb4\nb5\n"});
    const std::string header = "+OK\r\nFrom a\r\nH1: x\r\n..H2: y\r\n\r\n";
    const struct {
        const char* line;
        std::string reply;
    } cases[] = {
        {"TOP 1\r\n", "-ERR invalid arguments\r\n"},
        {"TOP 1 x\r\n", "-ERR invalid arguments\r\n"},
        {"TOP x 1\r\n", "-ERR invalid arguments\r\n"},
        {"TOP \r\n", "-ERR invalid arguments\r\n"},
        {"TOP ", "-ERR invalid arguments\r\n"},
        {"TOP 0 1\r\n", "-ERR no such message\r\n"},
        {"TOP 2 1\r\n", "-ERR no such message\r\n"},
        {"TOP -1 1\r\n", "-ERR no such message\r\n"},
        {"TOP 1 0\r\n", header + ".\r\n"},
        {"TOP 1 2\r\n", header + "b1\r\n..b2\r\n.\r\n"},
        {"TOP 1 5\r\n", header + "b1\r\n..b2\r\nb3\r\nb4\r\nb5\r\n.\r\n"},
        {"TOP 1 6\r\n", header + "b1\r\n..b2\r\nb3\r\nb4\r\nb5\r\n.\r\n"},
        {"TOP 1 -1\r\n", header + "b1\r\n..b2\r\nb3\r\nb4\r\nb5\r\n.\r\n"},
        // Never wrapped to a count of 0.
        {"TOP 1 4294967296\r\n", header + "b1\r\n..b2\r\nb3\r\nb4\r\nb5\r\n.\r\n"},
        {"TOP 1\t1 junk\r\n", header + "b1\r\n.\r\n"},
        {"TOP 1-1\r\n", header + "b1\r\n..b2\r\nb3\r\nb4\r\nb5\r\n.\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(top(c.line), c.reply) << c.line;
}

TEST_F(top_command, HeaderShapes) {
    const std::string long_line(4095, 'X');
    const struct {
        std::string stored;
        const char* line;
        std::string reply;
    } cases[] = {
        // No blank line: every header chunk, the unterminated last one too,
        // and no separating empty line.
        {"From a\nH: x\nlast", "TOP 1 3\r\n", "+OK\r\nFrom a\r\nH: x\r\nlast\r\n.\r\n"},
        {"From a\nH: x\n", "TOP 1 0\r\n", "+OK\r\nFrom a\r\nH: x\r\n.\r\n"},
        {"", "TOP 1 9\r\n", "+OK\r\n.\r\n"},
        // The LF after a 4095-byte line is a chunk of its own: the blank line.
        {"From a\n" + long_line + "\nbody\n", "TOP 1 5\r\n",
         "+OK\r\nFrom a\r\n" + long_line + "\r\n\r\nbody\r\n.\r\n"},
        // A CR LF blank line, and a blank chunk carrying more than its CR.
        {"From a\r\nH: x\r\n\r\nbody\r\n", "TOP 1 0\r\n", "+OK\r\nFrom a\r\nH: x\r\n\r\n.\r\n"},
        {"From a\nH: x\n\rjunk\nbody\nmore\n", "TOP 1 1\r\n",
         "+OK\r\nFrom a\r\nH: x\r\n\r\nbody\r\n.\r\n"},
        // A blank line right away, and a body without a final line end.
        {"\nbody", "TOP 1 7\r\n", "+OK\r\n\r\nbody\r\n.\r\n"},
    };
    std::vector<std::string> stored;
    for (const auto& c : cases) stored.push_back(c.stored);
    fill(stored);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::string line = cases[i].line;
        line.replace(4, 1, std::to_string(i + 1));
        EXPECT_EQ(top(line), cases[i].reply) << testing::PrintToString(cases[i].stored);
    }
}

TEST_F(top_command, MissingOrUnreadableSpoolFile) {
    fill({"From a\nH: x\n\nbody\n", "From b\n\nbody\n"});
    ASSERT_EQ(unlink(spool_path(0).c_str()), 0);
    EXPECT_EQ(top("TOP 1 1\r\n"), "+OK\r\n.\r\n");
    EXPECT_EQ(read_file(spool_path(0).c_str()), "");

    ASSERT_EQ(unlink(spool_path(1).c_str()), 0);
    name_unreadable_file(1);
    EXPECT_EQ(top("TOP 2 1\r\n"), "+OK\r\n.\r\n");
}

}  // namespace
}  // namespace tollmar::session
