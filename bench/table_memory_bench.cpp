// Memory of the message table: scans a maildrop of 10^5 small messages and
// reports the heap the table keeps per message and the peak resident size of
// the process (what a session holds at most for such a maildrop).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "maildrop/message_table.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/update.hpp"

namespace {

// Bytes allocated, the large blocks malloc maps on their own included.
std::size_t heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

void BM_table_memory(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    char root[] = "/tmp/tollmar-table-bench-XXXXXX";
    if (mkdtemp(root) == nullptr) std::abort();
    const std::string spool = std::string(root) + "/spool";
    const std::string mbox = std::string(root) + "/mbox";
    mkdir(spool.c_str(), 0700);
    // Written line by line, so the maildrop text never sits in this process.
    std::FILE* f = std::fopen(mbox.c_str(), "wb");
    if (f == nullptr) std::abort();
    for (int i = 0; i < count; ++i)
        std::fprintf(f, "From u%d@x Mon Jan  1 00:00:00 2024\nSubject: s\n\nbody\n\n", i);
    std::fclose(f);

    double held_per_message = 0;
    for (auto _ : state) {
        const std::size_t before = heap_in_use();
        if (!tollmar::maildrop::scan_maildrop(mbox.c_str(), spool.c_str())) {
            state.SkipWithError("scan failed");
            break;
        }
        held_per_message = static_cast<double>(heap_in_use() - before) / count;
        tollmar::maildrop::remove_spool_files();
        tollmar::maildrop::release_message_table();
    }
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    state.counters["heap_bytes_per_message"] = held_per_message;
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    unlink(mbox.c_str());
    rmdir(spool.c_str());
    rmdir(root);
}
BENCHMARK(BM_table_memory)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
