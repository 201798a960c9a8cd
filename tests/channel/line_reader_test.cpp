// The line reader: cutting, discarding, end of input, and independence from
// how the input is split into reads.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
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

using test::make_socket_pair;
using test::socket_pair;

class LineReader : public ::testing::Test {
protected:
    void SetUp() override {
        test::reset_channel_state();
        config::settings.io_timeout = 10;
        sp_ = make_socket_pair();
    }
    void TearDown() override {
        close(sp_.ours);
        close(sp_.peer);
        test::reset_channel_state();
    }

    // Lines as callers see them (up to the first NUL) until the end of input,
    // and checks that the end then persists.
    std::vector<std::string> read_all_lines() {
        std::vector<std::string> lines;
        char buf[4096];
        while (read_line(sp_.ours, buf, sizeof buf) != 0) lines.emplace_back(buf);
        EXPECT_STREQ(buf, "");
        for (int i = 0; i < 2; ++i) {
            buf[0] = 'x';
            EXPECT_EQ(read_line(sp_.ours, buf, sizeof buf), 0);
            EXPECT_STREQ(buf, "");
        }
        return lines;
    }

    bool socket_has_data() {
        pollfd p{sp_.ours, POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }

    socket_pair sp_{};
};

TEST_F(LineReader, WipingConsumedInputClearsThePassLineButKeepsWhatFollows) {
    test::write_fully(sp_.peer, "USER a\r\nPASS secret-word\r\nSTAT\r\n");
    char buf[4096];
    ASSERT_GT(read_line(sp_.ours, buf, sizeof buf), 0);
    ASSERT_GT(read_line(sp_.ours, buf, sizeof buf), 0);
    ASSERT_STREQ(buf, "PASS secret-word\r\n");
    std::size_t size = 0;
    const char* raw = reader_buffer(&size);
    const std::string before(raw, size);
    ASSERT_NE(before.find("secret-word"), std::string::npos);  // the copy that must go
    wipe_consumed_input();
    const std::string after(raw, size);
    EXPECT_EQ(after.find("secret-word"), std::string::npos);
    EXPECT_EQ(after.find("USER a"), std::string::npos);
    ASSERT_GT(read_line(sp_.ours, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "STAT\r\n");
}

TEST_F(LineReader, TwoLinesInOneSegmentNeedOneRead) {
    test::write_fully(sp_.peer, "USER a\r\nPASS b\r\n");
    char buf[4096];
    ASSERT_GT(read_line(sp_.ours, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "USER a\r\n");
    EXPECT_TRUE(input_pending());
    // The whole segment was taken by the first read: the second line comes
    // from the buffer. With no wait allowed, any read attempt would time out.
    EXPECT_FALSE(socket_has_data());
    config::settings.io_timeout = 0;
    ASSERT_GT(read_line(sp_.ours, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "PASS b\r\n");
    EXPECT_FALSE(input_pending());
}

TEST_F(LineReader, PartialLineAtEndOfInputThenEmptyForEver) {
    test::write_fully(sp_.peer, "QU");
    shutdown(sp_.peer, SHUT_WR);
    char buf[4096];
    ASSERT_GT(read_line(sp_.ours, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "QU");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(read_line(sp_.ours, buf, sizeof buf), 0);
        EXPECT_STREQ(buf, "");
    }
}

TEST_F(LineReader, SmallBufferCutsAndDiscardsTheRest) {
    test::write_fully(sp_.peer, "abcdef\nxy\n");
    shutdown(sp_.peer, SHUT_WR);
    char buf[4];
    ASSERT_GT(read_line(sp_.ours, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "abc");
    ASSERT_GT(read_line(sp_.ours, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "xy\n");
    EXPECT_EQ(read_line(sp_.ours, buf, sizeof buf), 0);
}

TEST_F(LineReader, ReadTimedWithNullBufferReturnsAtOnce) {
    config::settings.io_timeout = 0;  // a wait would end the process
    EXPECT_EQ(read_timed(sp_.ours, nullptr, 4096), 0);
}

struct split_case {
    const char* name;
    std::string input;
    std::vector<std::string> lines;
};

void PrintTo(const split_case& c, std::ostream* os) {
    *os << c.name;
}

std::string xs(std::size_t n) {
    return std::string(n, 'x');
}

std::vector<split_case> split_cases() {
    return {
        {"two_commands", "USER a\r\nPASS b\r\n", {"USER a\r\n", "PASS b\r\n"}},
        {"exactly_4095_then_lf", xs(4095) + "\nNOOP\r\n", {xs(4095), "NOOP\r\n"}},
        {"4094_then_lf_fits", xs(4094) + "\nNOOP\n", {xs(4094) + "\n", "NOOP\n"}},
        {"4095_then_crlf", xs(4095) + "\r\nA\n", {xs(4095), "A\n"}},
        {"4096_then_lf", xs(4096) + "\nZ\n", {xs(4096 - 1), "Z\n"}},
        {"5000_crlf_then_short", xs(5000) + "\r\nQUIT\r\n", {xs(4095), "QUIT\r\n"}},
        {"discard_spans_refills", xs(9000) + "\nB\n", {xs(4095), "B\n"}},
        {"long_line_without_end", xs(4095), {xs(4095)}},
        {"long_line_cut_at_end", xs(4200), {xs(4095)}},
        {"partial_last_line", "NOOP\r\nQU", {"NOOP\r\n", "QU"}},
        {"empty_lines", "\n\r\n\n", {"\n", "\r\n", "\n"}},
        // The LF was stored, so the line is complete and the next one is kept.
        {"nul_inside_line", std::string("A\0B\r\nC\r\n", 8), {"A", "C\r\n"}},
        {"no_input", "", {}},
    };
}

class LineSplit : public LineReader, public ::testing::WithParamInterface<split_case> {};

TEST_P(LineSplit, AllAtOnce) {
    test::write_fully(sp_.peer, GetParam().input);
    shutdown(sp_.peer, SHUT_WR);
    EXPECT_EQ(read_all_lines(), GetParam().lines);
}

TEST_P(LineSplit, OneByteAtATime) {
    const std::string input = GetParam().input;
    const int ours = sp_.ours;
    const int peer = sp_.peer;
    // Each byte is written only once the reader has taken the previous one
    // from the socket, so every read returns a single byte.
    std::thread feeder([input, ours, peer] {
        for (char c : input) {
            if (write(peer, &c, 1) != 1) return;
            int queued = 1;
            while (ioctl(ours, FIONREAD, &queued) == 0 && queued > 0) usleep(20);
        }
        shutdown(peer, SHUT_WR);
    });
    const std::vector<std::string> lines = read_all_lines();
    feeder.join();
    EXPECT_EQ(lines, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(Inputs, LineSplit, ::testing::ValuesIn(split_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tollmar::channel
