#include "maildrop/framing.hpp"

#include <sys/types.h>

#include "maildrop/file_io.hpp"

namespace tollmar::maildrop {

bool message_starts_at(int fd, std::int64_t at) {
    static char chunk[detail::chunk_limit];
    if (at < 0) return false;
    char before = '\n';
    if (at > 0 && detail::pread_full(fd, &before, 1, static_cast<off_t>(at - 1)) != 1) return false;
    if (before != '\n') return false;
    const ssize_t got = detail::pread_full(fd, chunk, sizeof chunk, static_cast<off_t>(at));
    if (got < 5) return false;
    const auto n = static_cast<std::size_t>(got);
    if (at == 0) return starts_with_separator(chunk, n);
    const void* lf = std::memchr(chunk, '\n', n);
    const std::size_t length =
        lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - chunk) + 1 : n;
    return chunk_starts_message(chunk, length);
}

}  // namespace tollmar::maildrop
