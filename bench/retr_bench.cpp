// Throughput of RETR and of the UIDL listing over a local socket pair.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "maildrop/message_table.hpp"
#include "maildrop/table_growth.hpp"
#include "maildrop/update.hpp"
#include "session/commands.hpp"

namespace {

using tollmar::maildrop::message_entry;
tollmar::maildrop::message_table messages = {};

char folder[64];

// Fills the table with `count` spool files of `lines` 70-byte lines each,
// ending in CR LF, or in a bare LF (one byte shorter) as most maildrops hold
// them.
bool make_messages(int count, int lines, bool crlf = true) {
    std::snprintf(folder, sizeof folder, "%s", "/tmp/tollmar-retr-bench-XXXXXX");
    if (mkdtemp(folder) == nullptr) return false;
    messages.entries = static_cast<message_entry*>(std::calloc(count, sizeof(message_entry)));
    if (messages.entries == nullptr) return false;
    std::snprintf(messages.spool_prefix, sizeof messages.spool_prefix, "%s/m", folder);
    const std::string line = std::string(68, 'm') + (crlf ? "\r\n" : "\n");
    for (int i = 0; i < count; ++i) {
        message_entry& e = messages.entries[i];
        char name[16];
        std::snprintf(name, sizeof name, "%d", i);
        tollmar::maildrop::detail::set_spool_name(e, name);
        char path[tollmar::maildrop::spool_path_capacity];
        if (!tollmar::maildrop::spool_path_of(messages, e, path)) return false;
        std::FILE* f = std::fopen(path, "wb");
        if (f == nullptr) return false;
        std::fprintf(f, "From bench %d\n", i);
        for (int l = 0; l < lines; ++l) std::fputs(line.c_str(), f);
        e.spool_length = std::ftell(f);
        e.size = e.spool_length;
        std::fclose(f);
        messages.count = i + 1;
    }
    return true;
}

void remove_messages() {
    tollmar::maildrop::remove_spool_files(messages);
    tollmar::maildrop::release_message_table(messages);
    rmdir(folder);
}

// Runs the handler once with a thread draining the other end.
template <typename Handler>
long long drain(Handler handler) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return -1;
    long long received = 0;
    std::thread reader([&received, fd = ends[1]] {
        char buf[65536];
        for (;;) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            received += n;
        }
    });
    handler(ends[0]);
    shutdown(ends[0], SHUT_WR);
    reader.join();
    close(ends[0]);
    close(ends[1]);
    return received;
}

// One 8 MiB message, its lines stored with CR LF or with bare LF.
void retr_8mib(benchmark::State& state, bool crlf_lines) {
    if (!make_messages(1, 8 * 1024 * 1024 / 70, crlf_lines)) {
        state.SkipWithError("cannot create the spool file");
        return;
    }
    long long bytes = 0;
    for (auto _ : state)
        bytes += drain([](int fd) { tollmar::session::cmd_retr(fd, "RETR 1\r\n"); });
    state.SetBytesProcessed(bytes);
    remove_messages();
}
void BM_retr_8mib(benchmark::State& state) {
    retr_8mib(state, true);
}
BENCHMARK(BM_retr_8mib)->Unit(benchmark::kMillisecond);
void BM_retr_8mib_lf_lines(benchmark::State& state) {
    retr_8mib(state, false);
}
BENCHMARK(BM_retr_8mib_lf_lines)->Unit(benchmark::kMillisecond);

void BM_uidl_listing_1000(benchmark::State& state) {
    if (!make_messages(1000, 20)) {
        state.SkipWithError("cannot create the spool files");
        return;
    }
    for (auto _ : state) drain([](int fd) { tollmar::session::cmd_uidl(fd, "UIDL\r\n"); });
    state.SetItemsProcessed(state.iterations() * 1000);
    remove_messages();
}
BENCHMARK(BM_uidl_listing_1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
