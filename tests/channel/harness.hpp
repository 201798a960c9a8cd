// Helpers for driving the client channel over a socketpair, in this process or
// in a forked child when the code under test may end the process.
#pragma once
#include <sys/types.h>

#include <functional>
#include <string>

namespace tollmar::test {

struct socket_pair {
    int ours;  // the connection as the server sees it
    int peer;  // the client's end
};

socket_pair make_socket_pair();

// Restores the process-wide channel state and settings the tests change.
void reset_channel_state();

// Writes all of data to fd (blocking).
void write_fully(int fd, const std::string& data);

// Reads from fd until end of input, or until guard_seconds pass without data
// (a guard against a hung test, not a measured limit).
std::string read_until_eof(int fd, int guard_seconds = 30);

struct child_outcome {
    int status = -1;       // exit status, or 128 + signal number
    std::string received;  // everything the client end received
};

// When the client end is read after client_side: while the child runs, or
// only once it has ended (a client that never reads).
enum class drain { while_running, after_exit };

// Runs server_side(fd) in a forked child on our end of a fresh socketpair; its
// return value becomes the exit status unless it ends the process itself.
// client_side(peer, received) runs here meanwhile; afterwards the rest of the
// child's output is drained into received and the child is reaped.
// The process ID of the child that run_in_child is running now.
pid_t current_child();

child_outcome run_in_child(const std::function<int(int fd)>& server_side,
                           const std::function<void(int peer, std::string& received)>& client_side,
                           drain when = drain::while_running);

}  // namespace tollmar::test
