#include "maildrop/chunk_reader.hpp"

#include <cerrno>
#include <cstring>

#include "maildrop/file_io.hpp"
#include "util/signals.hpp"

namespace tollmar::maildrop::detail {

void start_chunks(chunk_source& source, int fd, char* buffer, std::size_t capacity) {
    source.fd = fd;
    source.buffer = buffer;
    source.capacity = capacity;
    source.begin = 0;
    source.end = 0;
    source.at_end = false;
    source.failed = false;
    source.delivered = 0;
    source.observe = nullptr;
    source.before_refill = nullptr;
    source.refill_context = nullptr;
}

namespace {

// Moves the unread tail to the front and reads once more behind it.
// 1 read something or reached the end, -1 on an error.
int refill(chunk_source& source) {
    if (source.before_refill != nullptr) source.before_refill(source.refill_context);
    const std::size_t unread = source.end - source.begin;
    if (source.begin > 0) {
        std::memmove(source.buffer, source.buffer + source.begin, unread);
        source.begin = 0;
        source.end = unread;
    }
    // Between blocks nothing is half done: a recorded termination signal may
    // end the process here and the at-exit clean-up finds a consistent table.
    util::act_on_pending_signals();
    const ssize_t n =
        read_some(source.fd, source.buffer + source.end, source.capacity - source.end);
    if (n < 0) {
        source.failed = true;  // never read again after an error
        return -1;
    }
    if (n == 0)
        source.at_end = true;
    else {
        if (source.observe != nullptr)
            source.observe(source.buffer + source.end, static_cast<std::size_t>(n));
        source.end += static_cast<std::size_t>(n);
    }
    return 1;
}

}  // namespace

std::size_t buffered(const chunk_source& source, const char** at) {
    *at = source.buffer + source.begin;
    return source.end - source.begin;
}

void hand_out(chunk_source& source, std::size_t n) {
    source.begin += n;
    source.delivered += static_cast<std::int64_t>(n);
}

int next_chunk(chunk_source& source, const char** chunk, std::size_t* length) {
    for (;;) {
        if (source.failed) return -1;
        const std::size_t unread = source.end - source.begin;
        const std::size_t window = unread < chunk_limit ? unread : chunk_limit;
        const char* start = source.buffer + source.begin;
        const void* lf = std::memchr(start, '\n', window);
        std::size_t n = 0;
        if (lf != nullptr)
            n = static_cast<std::size_t>(static_cast<const char*>(lf) - start) + 1;
        else if (unread >= chunk_limit)
            n = chunk_limit;
        else if (source.at_end)
            n = unread;  // the last chunk, cut short by the end of the file
        else {
            if (refill(source) < 0) return -1;
            continue;
        }
        if (n == 0) return 0;
        *chunk = start;
        *length = n;
        source.begin += n;
        source.delivered += static_cast<std::int64_t>(n);
        return 1;
    }
}

}  // namespace tollmar::maildrop::detail
