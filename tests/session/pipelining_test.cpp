// Pipelined commands: the replies to commands that arrived together leave in
// one write, and QUIT's reply is never lost behind them. A SOCK_SEQPACKET pair
// keeps the boundary of every write, so the grouping can be seen.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "channel/line_io.hpp"
#include "session/commands.hpp"
#include "session/phases.hpp"

namespace tollmar::session {
namespace {

struct loop_outcome {
    std::vector<std::string> writes;  // what the loop sent, one entry per write
    int status = -1;                  // exit status of the loop's process
};

// Sends each record, ends the input and collects the replies of a command
// loop run in a child process (end of input ends it with status 1, QUIT with
// status 0 here).
loop_outcome run_loop(const std::vector<std::string>& records) {
    loop_outcome outcome;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0) {
        ADD_FAILURE() << "socketpair";
        return outcome;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(ends[1]);
        channel::reset_reader();
        char line[command_buffer_size];
        command_loop(ends[0], line);
        _exit(0);
    }
    close(ends[0]);
    for (const std::string& r : records)
        EXPECT_EQ(write(ends[1], r.data(), r.size()), ssize_t(r.size()));
    shutdown(ends[1], SHUT_WR);
    char buf[65536];
    ssize_t n;
    while ((n = read(ends[1], buf, sizeof buf)) > 0) outcome.writes.emplace_back(buf, size_t(n));
    close(ends[1]);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
    return outcome;
}

TEST(Pipelining, RepliesToCommandsThatArriveTogetherLeaveTogether) {
    struct loop_case {
        std::vector<std::string> records;
        std::vector<std::string> writes;
        int status;
    };
    const loop_case cases[] = {
        {{"NOOP\r\nNOOP\r\nSTAT\r\n"}, {"+OK\r\n+OK\r\n+OK 0 0\r\n"}, 1},
        {{"NOOP\r\n", "STAT\r\n"}, {"+OK\r\n", "+OK 0 0\r\n"}, 1},
        {{"XYZ\r\nNOOP\r\n", "RSET\r\n"}, {"-ERR command not understood\r\n+OK\r\n", "+OK\r\n"}, 1},
        // QUIT's reply goes out with the collected ones before the close.
        {{"NOOP\r\nQUIT\r\nNOOP\r\n"}, {"+OK\r\n+OK\r\n"}, 0},
        {{"NOOP\r\nQUIT\r\n"}, {"+OK\r\n+OK\r\n"}, 0},
    };
    for (const loop_case& c : cases) {
        const loop_outcome out = run_loop(c.records);
        EXPECT_EQ(out.writes, c.writes) << c.records.front();
        EXPECT_EQ(out.status, c.status) << c.records.front();
    }
}

}  // namespace
}  // namespace tollmar::session
