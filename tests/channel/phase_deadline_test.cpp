// The login phase's deadline ends a client however it spends the time:
// silent, trickling one byte now and then, or sending an endless line.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "channel/harness.hpp"
#include "channel/line_io.hpp"
#include "channel/wait.hpp"
#include "config/settings.hpp"
#include "util/clock.hpp"

namespace tollmar::channel {
namespace {

enum class client_kind { silent, trickle, flood };

// Sends until the server end is gone (or a guard far beyond the deadline runs
// out, so that a broken deadline fails the test instead of hanging it).
void keep_sending(int peer, client_kind kind) {
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const std::string chunk(kind == client_kind::flood ? 4096 : 1, 'x');
    while (std::chrono::steady_clock::now() < guard) {
        if (send(peer, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0 && errno != EINTR) return;
        if (kind == client_kind::trickle) usleep(50 * 1000);
    }
}

TEST(PhaseDeadline, EndsTheClientHoweverItSendsBytes) {
    for (client_kind kind : {client_kind::silent, client_kind::trickle, client_kind::flood}) {
        const auto outcome = test::run_in_child(
            [](int fd) {
                test::reset_channel_state();
                config::settings.io_timeout = 30;  // far beyond the deadline
                set_phase_deadline(util::monotonic_ms() + 300);
                char line[4096];
                for (;;) read_line(fd, line, sizeof line);
                return 0;
            },
            [kind](int peer, std::string&) {
                if (kind != client_kind::silent) keep_sending(peer, kind);
            });
        EXPECT_EQ(outcome.status, 1) << static_cast<int>(kind);
        EXPECT_EQ(outcome.received, "-ERR login time exceeded\r\n") << static_cast<int>(kind);
    }
}

TEST(PhaseDeadline, WaitsAreCutToTheDeadlineAndNoneIsSetByDefault) {
    test::reset_channel_state();
    config::settings.io_timeout = 30;
    set_phase_deadline(0);
    EXPECT_EQ(wait_limit_ms(), 30000);
    EXPECT_FALSE(phase_deadline_passed());
    set_phase_deadline(util::monotonic_ms() + 5000);
    EXPECT_LE(wait_limit_ms(), 5000);
    EXPECT_GT(wait_limit_ms(), 0);
    set_phase_deadline(util::monotonic_ms() - 1);
    EXPECT_EQ(wait_limit_ms(), 0);
    EXPECT_TRUE(phase_deadline_passed());
    set_phase_deadline(0);
}

}  // namespace
}  // namespace tollmar::channel
