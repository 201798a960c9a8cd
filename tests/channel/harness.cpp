#include "channel/harness.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "channel/line_io.hpp"
#include "channel/tls_handle.hpp"
#include "channel/wait.hpp"
#include "config/settings.hpp"
#include "util/signals.hpp"

namespace tollmar::test {

namespace {
pid_t running_child = -1;
}

pid_t current_child() {
    return running_child;
}

socket_pair make_socket_pair() {
    int fds[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) ADD_FAILURE() << "socketpair failed";
    return {fds[0], fds[1]};
}

void reset_channel_state() {
    channel::reset_reader();
    channel::set_wait_hook(nullptr);
    channel::set_tls_handle(nullptr);
    channel::set_phase_deadline(0);
    config::settings.use_tls = false;
    config::settings = config::settings_record{};
    util::pending_termination = 0;
    util::pending_broken_pipe = 0;
    util::set_broken_pipe_action(nullptr);
}

void write_fully(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ADD_FAILURE() << "write to the test socket failed";
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string read_until_eof(int fd, int guard_seconds) {
    std::string out;
    char chunk[8192];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, guard_seconds * 1000);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ADD_FAILURE() << "no end of input within the guard time";
            return out;
        }
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return out;
        out.append(chunk, static_cast<std::size_t>(n));
    }
}

child_outcome run_in_child(const std::function<int(int fd)>& server_side,
                           const std::function<void(int peer, std::string& received)>& client_side,
                           drain when) {
    child_outcome outcome;
    const socket_pair sp = make_socket_pair();
    const pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return outcome;
    }
    if (pid == 0) {
        close(sp.peer);
        _exit(server_side(sp.ours));
    }
    close(sp.ours);
    running_child = pid;
    if (client_side) client_side(sp.peer, outcome.received);
    if (when == drain::while_running) outcome.received += read_until_eof(sp.peer);
    int status = 0;
    // A child that is still there after the guard time is stuck; end it so
    // that the suite goes on.
    pid_t done = waitpid(pid, &status, WNOHANG);
    for (int i = 0; done == 0 && i < 3000; ++i) {
        usleep(10 * 1000);
        done = waitpid(pid, &status, WNOHANG);
    }
    if (done == 0) {
        ADD_FAILURE() << "child did not end";
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    running_child = -1;
    if (when == drain::after_exit) outcome.received += read_until_eof(sp.peer);
    close(sp.peer);
    if (WIFEXITED(status))
        outcome.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        outcome.status = 128 + WTERMSIG(status);
    return outcome;
}

}  // namespace tollmar::test
