// Memory of the message table: scans maildrops of 10^5 and 10^6 small
// messages and reports the heap the table keeps per message, and how far the
// resident size rose above where it stood before the scan (the peak a session
// adds for such a maildrop), per message and in all. The maildrop and the
// spool files go under $TMPDIR (default /tmp); 10^6 messages make 10^6 files.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "maildrop/message_table.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/update.hpp"

namespace {

tollmar::maildrop::message_table table = {};

// Bytes allocated, the large blocks malloc maps on their own included.
std::size_t heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// A "VmRSS:" or "VmHWM:" figure of /proc/self/status in bytes; 0 if unknown.
std::size_t status_bytes(const char* field) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    unsigned long kib = 0;
    const std::size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, field, n) == 0) kib = std::strtoul(line + n, nullptr, 10);
    std::fclose(f);
    return kib * 1024;
}

// Sets VmHWM back to the current resident size (Linux 4.0 and later), so
// the peak read after the scan is the scan's own.
void reset_peak() {
    const int fd = open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    if (write(fd, "5", 1) != 1) std::perror("clear_refs");
    close(fd);
}

void BM_table_memory(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const char* tmp = std::getenv("TMPDIR");
    std::string root = std::string(tmp != nullptr ? tmp : "/tmp") + "/tollmar-table-bench-XXXXXX";
    if (mkdtemp(root.data()) == nullptr) std::abort();
    const std::string spool = root + "/spool";
    const std::string mbox = root + "/mbox";
    mkdir(spool.c_str(), 0700);
    // Written line by line, so the maildrop text never sits in this process.
    std::FILE* f = std::fopen(mbox.c_str(), "wb");
    if (f == nullptr) std::abort();
    for (int i = 0; i < count; ++i)
        std::fprintf(f, "From u%d@x Mon Jan  1 00:00:00 2024\nSubject: s\n\nbody\n\n", i);
    std::fclose(f);

    double held_per_message = 0;
    double peak_rise = 0;
    for (auto _ : state) {
        malloc_trim(0);
        const std::size_t before = heap_in_use();
        const std::size_t resident = status_bytes("VmRSS:");
        reset_peak();
        if (!tollmar::maildrop::scan_maildrop(table, mbox.c_str(), spool.c_str())) {
            state.SkipWithError("scan failed");
            break;
        }
        const std::size_t peak = status_bytes("VmHWM:");
        held_per_message = static_cast<double>(heap_in_use() - before) / count;
        peak_rise = peak > resident ? static_cast<double>(peak - resident) : 0;
        tollmar::maildrop::remove_spool_files(table);
        tollmar::maildrop::release_message_table(table);
    }
    state.counters["heap_bytes_per_message"] = held_per_message;
    state.counters["peak_rise_bytes_per_message"] = peak_rise / count;
    state.counters["peak_rise_MiB"] = peak_rise / (1024.0 * 1024.0);
    unlink(mbox.c_str());
    rmdir(spool.c_str());
    rmdir(root.c_str());
}
BENCHMARK(BM_table_memory)->Arg(100000)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
