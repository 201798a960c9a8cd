// Scan (and update) throughput on generated maildrops: many small messages,
// and few messages with long lines.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "maildrop/lock.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/update.hpp"

namespace {

tollmar::maildrop::message_table table = {};

struct bench_folder {
    std::string root, spool, mbox;
    bench_folder() {
        // Under $TMPDIR when set: the file system of the spool folder
        // decides much of a scan's cost (tmpfs, or ext4 with its inode
        // allocation per file).
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp != nullptr ? tmp : "/tmp") + "/scan_bench_XXXXXX";
        if (mkdtemp(templ.data()) == nullptr) std::abort();
        root = templ;
        spool = root + "/spool";
        mbox = root + "/mbox";
        mkdir(spool.c_str(), 0700);
    }
    ~bench_folder() {
        nftw(
            root.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); },
            16, FTW_DEPTH | FTW_PHYS);
    }
    void write(const std::string& text) const {
        std::FILE* f = std::fopen(mbox.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
};

std::string many_messages(int count) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text +=
            "From u" + std::to_string(i) + "@x Mon Jan  1 00:00:00 2024\nSubject: s\n\nbody\n\n";
    return text;
}

// Messages of about 10 KiB in body lines of 76 characters: the common shape
// of mail, where the cost per line of the scan shows.
std::string ten_kib_messages(int count) {
    std::string text;
    const std::string line = std::string("abcdefghijklmnopqrstuvwxyz0123456789", 36) +
                             std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", 36) + "xyz\n";
    for (int i = 0; i < count; ++i) {
        text += "From sender@example.org Mon Jan  1 00:00:00 2024\nSubject: message " +
                std::to_string(i) + "\n\n";
        for (int j = 0; j < 133; ++j) text += line;
        text += "\n";
    }
    return text;
}

std::string long_lines(int messages, int line_bytes) {
    std::string text;
    for (int i = 0; i < messages; ++i)
        text += "From u@x\n\n" + std::string(static_cast<std::size_t>(line_bytes), 'l') + "\n\n";
    return text;
}

void run_scan(benchmark::State& state, const std::string& text) {
    bench_folder folder;
    folder.write(text);
    for (auto _ : state) {
        if (!tollmar::maildrop::scan_maildrop(table, folder.mbox.c_str(), folder.spool.c_str()))
            state.SkipWithError("scan");
        benchmark::DoNotOptimize(table.count);
        state.PauseTiming();
        tollmar::maildrop::remove_spool_files(table);
        tollmar::maildrop::release_message_table(table);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
}

void BM_ScanManyMessages(benchmark::State& state) {
    run_scan(state, many_messages(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_ScanManyMessages)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

void BM_ScanTenKiBMessages(benchmark::State& state) {
    run_scan(state, ten_kib_messages(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_ScanTenKiBMessages)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_ScanLongLines(benchmark::State& state) {
    run_scan(state, long_lines(16, static_cast<int>(state.range(0))));
}
BENCHMARK(BM_ScanLongLines)->Arg(100)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

void BM_UpdateDeleteHalf(benchmark::State& state) {
    bench_folder folder;
    folder.write("");
    if (!tollmar::maildrop::lock_maildrop(folder.mbox.c_str(), getuid(), getgid())) {
        state.SkipWithError("lock");
        return;
    }
    const std::string text = many_messages(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        folder.write(text);
        tollmar::maildrop::scan_maildrop(table, folder.mbox.c_str(), folder.spool.c_str());
        for (int i = 0; i < table.count; i += 2) table.entries[i].deleted = 1;
        state.ResumeTiming();
        // The update writes only under the session's own dot-lock.
        const bool updated = tollmar::maildrop::update_maildrop(table, folder.mbox.c_str());
        state.PauseTiming();
        tollmar::maildrop::remove_spool_files(table);
        tollmar::maildrop::release_message_table(table);
        state.ResumeTiming();
        if (!updated) {
            state.SkipWithError("update");
            break;
        }
    }
    tollmar::maildrop::unlock_maildrop(folder.mbox.c_str());
}
BENCHMARK(BM_UpdateDeleteHalf)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
