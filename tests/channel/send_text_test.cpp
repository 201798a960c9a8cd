// Writing: whole texts, partial writes, collected (corked) output, the wait hook.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "channel/harness.hpp"
#include "channel/line_io.hpp"
#include "config/settings.hpp"

namespace tollmar::channel {
namespace {

using test::run_in_child;

// Text without NUL bytes whose content shows any lost, repeated or reordered block.
std::string patterned(std::size_t n, std::size_t seed = 0) {
    std::string s(n, ' ');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('!' + (i * 7 + i / 4093 + seed) % 90);
    return s;
}

class SendText : public ::testing::Test {
protected:
    void SetUp() override {
        test::reset_channel_state();
        config::settings.io_timeout = 10;
        sp_ = test::make_socket_pair();
    }
    void TearDown() override {
        close(sp_.ours);
        close(sp_.peer);
        test::reset_channel_state();
    }
    // What the peer receives while `write` runs on our end in a thread of
    // its own and then closes it.
    template <typename Write>
    std::string received_from(Write write) {
        const int ours = sp_.ours;
        std::thread writer([&write, ours] {
            write(ours);
            close(ours);
        });
        const std::string got = test::read_until_eof(sp_.peer);
        writer.join();
        sp_.ours = -1;
        return got;
    }
    bool peer_has_data() {
        pollfd p{sp_.peer, POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }
    test::socket_pair sp_{};
};

TEST_F(SendText, NullAndEmptyTextWriteNothing) {
    config::settings.io_timeout = 0;
    EXPECT_EQ(send_text(sp_.ours, nullptr), 0u);
    EXPECT_EQ(send_text(sp_.ours, ""), 0u);
    EXPECT_FALSE(peer_has_data());
}

TEST_F(SendText, WholeTextArrivesAndLengthIsReturned) {
    EXPECT_EQ(send_text(sp_.ours, "+OK\r\n"), 5u);
    close(sp_.ours);
    sp_.ours = -1;
    EXPECT_EQ(test::read_until_eof(sp_.peer), "+OK\r\n");
}

TEST_F(SendText, PartialWritesAreContinued) {
    // Far larger than the socket buffer: it only goes through in pieces while
    // the peer reads, each piece after a new wait.
    const std::string big = patterned(3 * 1024 * 1024 + 17);
    const std::string got = received_from([&big](int ours) { send_text(ours, big.c_str()); });
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big);
}

TEST_F(SendText, CorkedOutputWaitsForFlush) {
    cork_output();
    EXPECT_EQ(send_text(sp_.ours, "+OK 2 messages\r\n"), 16u);
    EXPECT_EQ(send_text(sp_.ours, "1 120\r\n"), 7u);
    EXPECT_FALSE(peer_has_data());
    flush_output(sp_.ours);
    // Flushing also ends the collection: this goes out at once.
    send_text(sp_.ours, ".\r\n");
    close(sp_.ours);
    sp_.ours = -1;
    EXPECT_EQ(test::read_until_eof(sp_.peer), "+OK 2 messages\r\n1 120\r\n.\r\n");
}

TEST_F(SendText, CorkedOutputIntactAcrossBufferFills) {
    // Pieces of many sizes, including some larger than the collection buffer,
    // so that fills happen at every offset.
    std::string expected;
    std::vector<std::string> pieces;
    const std::size_t sizes[] = {1,    5,    4095,  3, 16384, 16383, 2,     40000, 7,
                                 4096, 1000, 16385, 9, 65535, 65536, 65537, 140000};
    std::size_t seed = 0;
    for (int round = 0; round < 8; ++round)
        for (std::size_t n : sizes) {
            pieces.push_back(patterned(n, seed++));
            expected += pieces.back();
        }
    const std::string got = received_from([&pieces](int ours) {
        cork_output();
        for (const std::string& p : pieces) send_text(ours, p.c_str());
        flush_output(ours);
    });
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

// send_bytes takes its length, NULs included, corked or not; nothing for 0.
TEST_F(SendText, SendBytesCarriesNulBytes) {
    const std::string piece("a\0b\0\0c\r\n", 8);
    const std::string got = received_from([&piece](int ours) {
        send_bytes(ours, piece.data(), piece.size());
        send_bytes(ours, "never", 0);
        cork_output();
        send_bytes(ours, piece.data(), piece.size());
        send_bytes(ours, "", 0);
        flush_output(ours);
    });
    EXPECT_TRUE(got == piece + piece) << testing::PrintToString(got);
}

// send_line gives what ".", the text and CR LF sent piece by piece give:
// lines of every size, stuffed or not, meeting the collection buffer's fill
// at every offset, longer than it, and uncorked.
TEST_F(SendText, SendLineMatchesItsPiecesAcrossBufferFills) {
    struct line_case {
        std::string text;
        bool stuffed;
    };
    std::vector<line_case> lines;
    std::string expected;
    const std::size_t sizes[] = {0, 1, 74, 4094, 65533, 65534, 65535, 65536, 70000, 3, 9999};
    std::size_t seed = 0;
    for (int round = 0; round < 6; ++round)
        for (std::size_t n : sizes) {
            std::string text = patterned(n, seed++);
            if (n > 2) text[n / 2] = '\0';
            const bool stuffed = seed % 3 == 0;
            expected += (stuffed ? "." : "") + text + "\r\n";
            lines.push_back({std::move(text), stuffed});
        }
    expected += ".x\r\n";
    const std::string got = received_from([&lines](int ours) {
        cork_output();
        for (const line_case& l : lines) send_line(ours, l.text.data(), l.text.size(), l.stuffed);
        flush_output(ours);
        send_line(ours, "x", 1, true);
    });
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

TEST_F(SendText, FlushWithNothingCollectedWritesNothing) {
    config::settings.io_timeout = 0;
    cork_output();
    flush_output(sp_.ours);
    EXPECT_FALSE(peer_has_data());
}

int hook_calls = 0;
void count_hook() {
    ++hook_calls;
}

TEST_F(SendText, WaitHookRunsBeforeEveryWait) {
    hook_calls = 0;
    set_wait_hook(count_hook);
    send_text(sp_.ours, "+OK\r\n");
    EXPECT_EQ(hook_calls, 1);
    test::write_fully(sp_.peer, "NOOP\r\n");
    char buf[4096];
    ASSERT_GT(read_line(sp_.ours, buf, sizeof buf), 0);
    EXPECT_EQ(hook_calls, 2);
    set_wait_hook(nullptr);
    send_text(sp_.ours, "+OK\r\n");
    EXPECT_EQ(hook_calls, 2);
}

// Fatal paths end a forked child; the client end shows what was sent.

TEST(ReadTimeout, NothingWaitingWithZeroTimeout) {
    const auto outcome = run_in_child(
        [](int fd) {
            test::reset_channel_state();
            config::settings.io_timeout = 0;
            char buf[4096];
            read_line(fd, buf, sizeof buf);
            return 0;
        },
        nullptr);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.received, "-ERR read() timed out.\r\n");
}

TEST(ReadTimeout, CollectedOutputGoesOutBeforeTheWait) {
    // The client answers only after it has the greeting; were the greeting
    // still collected, the read would time out and the child end with 1.
    const auto outcome = run_in_child(
        [](int fd) {
            test::reset_channel_state();
            config::settings.io_timeout = 10;
            cork_output();
            send_text(fd, "+OK\r\n");
            char buf[4096];
            if (read_line(fd, buf, sizeof buf) <= 0) return 2;
            return std::string(buf) == "QUIT\r\n" ? 0 : 3;
        },
        [](int peer, std::string& received) {
            char greeting[5];
            std::size_t got = 0;
            while (got < sizeof greeting) {
                const ssize_t n = read(peer, greeting + got, sizeof greeting - got);
                if (n <= 0) return;
                got += static_cast<std::size_t>(n);
            }
            received.assign(greeting, got);
            test::write_fully(peer, "QUIT\r\n");
        });
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.received, "+OK\r\n");
}

TEST(WriteTimeout, PeerThatStopsReading) {
    const auto outcome = run_in_child(
        [](int fd) {
            test::reset_channel_state();
            config::settings.io_timeout = 1;
            const std::string chunk(65536, 'x');
            for (int i = 0; i < 1000; ++i) send_text(fd, chunk.c_str());
            return 0;  // a socket buffer never takes 64 MiB unread
        },
        nullptr, test::drain::after_exit);
    EXPECT_EQ(outcome.status, 1);
    // Only the bytes of the texts themselves: no reply follows the timeout.
    EXPECT_FALSE(outcome.received.empty());
    EXPECT_EQ(outcome.received.find_first_not_of('x'), std::string::npos);
}

}  // namespace
}  // namespace tollmar::channel
