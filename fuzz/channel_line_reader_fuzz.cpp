// The client line reader against a model of its rules: each line is handed
// out with its LF, a line longer than the caller's room is cut there and the
// rest of it up to its LF is dropped, a last line without LF is handed out as
// it is, and then the end of input is reported for good. The first input byte
// picks the caller's room (also beyond the reader's own 4096-byte buffer).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "channel/line_io.hpp"
#include "config/settings.hpp"

namespace {

std::vector<std::string> model(const char* data, std::size_t size, std::size_t limit) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < size) {
        const std::size_t window = size - at < limit ? size - at : limit;
        const void* lf = std::memchr(data + at, '\n', window);
        const std::size_t take =
            lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - (data + at)) + 1
                          : window;
        lines.emplace_back(data + at, take);
        at += take;
        if (lf == nullptr) {
            // Cut (or ended): the rest of this line goes, its LF included.
            const void* next = std::memchr(data + at, '\n', size - at);
            at = next != nullptr
                     ? static_cast<std::size_t>(static_cast<const char*>(next) - data) + 1
                     : size;
        }
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tollmar;
    if (size < 1 || size > 60000) return 0;  // the whole input fits in the pipe at once
    const std::size_t max = 2 + static_cast<std::size_t>(data[0]) * 21;  // up to 5357
    const char* input = reinterpret_cast<const char*>(data) + 1;
    const std::size_t length = size - 1;

    config::settings.io_timeout = 5;
    config::settings.use_tls = false;
    channel::reset_reader();
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    std::size_t written = 0;
    while (written < length) {
        const ssize_t n = write(fds[1], input + written, length - written);
        if (n <= 0) std::abort();
        written += static_cast<std::size_t>(n);
    }
    close(fds[1]);

    const std::vector<std::string> expected = model(input, length, max - 1);
    std::vector<char> buf(max);
    std::size_t i = 0;
    for (;;) {
        const int n = channel::read_line(fds[0], buf.data(), max);
        if (n == 0) break;
        if (i >= expected.size() || static_cast<std::size_t>(n) != expected[i].size() ||
            std::memcmp(buf.data(), expected[i].data(), expected[i].size()) != 0 ||
            buf[static_cast<std::size_t>(n)] != '\0')
            std::abort();
        ++i;
    }
    if (i != expected.size() || buf[0] != '\0') std::abort();
    if (channel::read_line(fds[0], buf.data(), max) != 0) std::abort();  // the end persists
    close(fds[0]);
    return 0;
}
