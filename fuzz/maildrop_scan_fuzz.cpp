// Maildrop bytes in; the scan must split them into spool files that together
// hold the input byte for byte, each with the size of what RETR sends of it.
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

tollmar::maildrop::message_table messages = {};

// What RETR sends of a message, counted byte by byte: everything after its
// separator line, a CR more for every LF without one, and CR LF after a last
// line without a line end.
std::int64_t sent_octets(const std::uint8_t* message, std::size_t length) {
    std::size_t at = 0;
    while (at < length && message[at] != '\n') ++at;
    if (at == length) return 0;
    std::int64_t n = 0;
    bool line_start = true;
    for (++at; at < length; ++at) {
        n += message[at] == '\n' && (line_start || message[at - 1] != '\r') ? 2 : 1;
        line_start = message[at] == '\n';
    }
    return line_start ? n : n + 2;
}

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

    const int result = scan_maildrop(messages, mbox, spool) ? 1 : 0;
    const bool starts = size >= 5 && std::memcmp(data, "From ", 5) == 0;
    if (size == 0 && (result != 1 || messages.count != 0)) std::abort();
    if (size > 0 && result != (starts ? 1 : 0)) std::abort();
    if (result == 1) {
        std::size_t at = 0;
        static char buf[65536];
        for (std::int32_t i = 0; i < messages.count; ++i) {
            const message_entry& e = messages.entries[i];
            if (e.spool_length < 5) std::abort();
            if (std::memcmp(data + at, "From ", 5) != 0) std::abort();
            // A message starts only where a line starts, never inside a
            // long line that a chunk boundary happens to cut before "From ".
            if (at > 0 && data[at - 1] != '\n') std::abort();
            char spool_path[spool_path_capacity];
            if (!spool_path_of(messages, e, spool_path)) std::abort();
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
            if (e.size != sent_octets(data + at - seen, static_cast<std::size_t>(seen)))
                std::abort();
        }
        if (at != size) std::abort();
    }
    if (spool_file_count() != messages.count) std::abort();
    remove_spool_files(messages);
    release_message_table(messages);
    return 0;
}
