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
    // The separator line is framing: the reply starts with the first field.
    const std::string header = "+OK\r\nH1: x\r\n..H2: y\r\n\r\n";
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
    const std::string huge_field = "X-Huge: " + std::string(10000, 'h');
    const struct {
        std::string stored;
        const char* line;
        std::string reply;
    } cases[] = {
        // No blank line: every header line, the unterminated last one too,
        // and no separating empty line.
        {"From a\nH: x\nlast", "TOP 1 3\r\n", "+OK\r\nH: x\r\nlast\r\n.\r\n"},
        {"From a\nH: x\n", "TOP 1 0\r\n", "+OK\r\nH: x\r\n.\r\n"},
        {"From a\n", "TOP 1 0\r\n", "+OK\r\n.\r\n"},
        {"From a", "TOP 1 0\r\n", "+OK\r\n.\r\n"},
        {"", "TOP 1 9\r\n", "+OK\r\n.\r\n"},
        // A line of exactly one read piece and the LF after it are one line,
        // not a line and a blank line that would end the header early.
        {"From a\n" + long_line + "\nbody\n", "TOP 1 5\r\n",
         "+OK\r\n" + long_line + "\r\nbody\r\n.\r\n"},
        {"From a\n" + huge_field + "\nH: y\n\nb1\nb2\n", "TOP 1 1\r\n",
         "+OK\r\n" + huge_field + "\r\nH: y\r\n\r\nb1\r\n.\r\n"},
        // A CR LF blank line; a line that only starts with a CR is no blank
        // line, and a body line longer than a piece counts once.
        {"From a\r\nH: x\r\n\r\nbody\r\n", "TOP 1 0\r\n", "+OK\r\nH: x\r\n\r\n.\r\n"},
        {"From a\nH: x\n\rjunk\nbody\nmore\n", "TOP 1 1\r\n",
         "+OK\r\nH: x\r\n\rjunk\r\nbody\r\nmore\r\n.\r\n"},
        {"From a\nH: x\n\n" + long_line + long_line + "\nnext\n", "TOP 1 1\r\n",
         "+OK\r\nH: x\r\n\r\n" + long_line + long_line + "\r\n.\r\n"},
        // A blank line right away, and a body without a final line end.
        {"From a\n\nbody", "TOP 1 7\r\n", "+OK\r\n\r\nbody\r\n.\r\n"},
        // Without a separator line the message is sent whole.
        {"\nbody", "TOP 1 7\r\n", "+OK\r\n\r\nbody\r\n.\r\n"},
        {"Subject: s\n\nbody\n", "TOP 1 0\r\n", "+OK\r\nSubject: s\r\n\r\n.\r\n"},
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
