// Maildrop bytes in; the scan must split them into spool files that together
// hold the input byte for byte, with sizes that fit the chunk rules.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "maildrop/message_table.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/update.hpp"

namespace {

char folder[4096];
char spool[4200];
char mbox[4200];

void set_up() {
    if (folder[0] != '\0') return;
    // Under $TMPDIR when set, so that the runner can remove it afterwards.
    const char* tmp = std::getenv("TMPDIR");
    std::snprintf(folder, sizeof folder, "%s/maildrop_fuzz_XXXXXX", tmp != nullptr ? tmp : "/tmp");
    if (mkdtemp(folder) == nullptr) std::abort();
    std::snprintf(spool, sizeof spool, "%s/spool", folder);
    std::snprintf(mbox, sizeof mbox, "%s/mbox", folder);
    if (mkdir(spool, 0700) != 0) std::abort();
}

std::int64_t spool_file_count() {
    std::int64_t n = 0;
    DIR* d = opendir(spool);
    while (const dirent* e = readdir(d))
        if (e->d_name[0] == '.' && std::strncmp(e->d_name, ".tollmar_", 9) == 0) ++n;
    closedir(d);
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tollmar::maildrop;
    set_up();
    const int fd = open(mbox, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
    close(fd);

    const int result = scan_maildrop(mbox, spool) ? 1 : 0;
    const bool starts = size >= 5 && std::memcmp(data, "From ", 5) == 0;
    if (size == 0 && (result != 1 || messages.count != 0)) std::abort();
    if (size > 0 && result != (starts ? 1 : 0)) std::abort();
    if (result == 1) {
        std::size_t at = 0;
        static char buf[65536];
        for (std::int32_t i = 0; i < messages.count; ++i) {
            const message_entry& e = messages.entries[i];
            if (e.spool_length < 5 || e.size < e.spool_length || e.size > 2 * e.spool_length)
                std::abort();
            if (std::memcmp(data + at, "From ", 5) != 0) std::abort();
            // A message starts only where a line starts, never inside a
            // long line that a chunk boundary happens to cut before "From ".
            if (at > 0 && data[at - 1] != '\n') std::abort();
            char spool_path[spool_path_capacity];
            if (!spool_path_of(e, spool_path)) std::abort();
            std::FILE* f = std::fopen(spool_path, "rb");
            if (f == nullptr) std::abort();
            std::int64_t seen = 0;
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
                if (at + n > size || std::memcmp(buf, data + at, n) != 0) std::abort();
                at += n;
                seen += static_cast<std::int64_t>(n);
            }
            std::fclose(f);
            if (seen != e.spool_length) std::abort();
        }
        if (at != size) std::abort();
    }
    if (spool_file_count() != messages.count) std::abort();
    remove_spool_files();
    release_message_table();
    return 0;
}
