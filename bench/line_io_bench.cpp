// Sending a 1 MiB multi-line reply over a socketpair, piece by piece as the
// message commands do, with and without collecting the output first.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "channel/line_io.hpp"
#include "config/settings.hpp"

namespace {

constexpr std::size_t reply_bytes = 1024 * 1024;

// Lines of a typical message body, each sent as its text and its line end.
std::vector<std::string> body_lines() {
    std::vector<std::string> lines;
    std::size_t total = 0;
    for (std::size_t i = 0; total < reply_bytes; ++i) {
        lines.push_back(std::string(60 + i % 17, static_cast<char>('a' + i % 26)));
        total += lines.back().size() + 2;
    }
    return lines;
}

void send_reply(benchmark::State& state, bool corked) {
    tollmar::config::settings.io_timeout = 30;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        state.SkipWithError("socketpair failed");
        return;
    }
    std::thread drain([&] {
        char buf[65536];
        while (read(fds[1], buf, sizeof buf) > 0) {
        }
    });
    const std::vector<std::string> lines = body_lines();
    std::size_t sent = 0;
    for (auto _ : state) {
        if (corked) tollmar::channel::cork_output();
        tollmar::channel::send_text(fds[0], "+OK\r\n");
        for (const std::string& line : lines) {
            sent += tollmar::channel::send_text(fds[0], line.c_str());
            sent += tollmar::channel::send_text(fds[0], "\r\n");
        }
        tollmar::channel::send_text(fds[0], ".\r\n");
        if (corked) tollmar::channel::flush_output(fds[0]);
    }
    close(fds[0]);
    drain.join();
    close(fds[1]);
    state.SetBytesProcessed(static_cast<std::int64_t>(sent));
}

void BM_ReplyUncorked(benchmark::State& state) {
    send_reply(state, false);
}
void BM_ReplyCorked(benchmark::State& state) {
    send_reply(state, true);
}

BENCHMARK(BM_ReplyUncorked)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplyCorked)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
