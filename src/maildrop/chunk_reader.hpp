// Reads a file in large blocks and hands it out in chunks: exactly what one
// fgets into a 4096-byte buffer would deliver (at most 4095 bytes, ending
// after the first LF, at the 4095th byte or at the end of the file), with
// NUL bytes counted as data.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tollmar::maildrop::detail {

constexpr std::size_t chunk_limit = 4095;

struct chunk_source {
    int fd;
    char* buffer;  // caller's fixed buffer, at least 2 * chunk_limit bytes
    std::size_t capacity;
    std::size_t begin;       // first byte not yet handed out
    std::size_t end;         // one past the last byte read
    bool at_end;             // read(2) reported the end of the file
    bool failed;             // read(2) failed; no more chunks
    std::int64_t delivered;  // bytes handed out so far
    // Sees every block as it is read (nullptr: nobody). Every byte read is
    // handed out before the end is reported, so it sees exactly the bytes
    // delivered once the source reports the end.
    void (*observe)(const char* data, std::size_t length);
    // Called (nullptr: nobody) before the bytes handed out so far leave the
    // buffer, that is before every read: a consumer that keeps pointers to
    // the chunks it was given (to write a run of them at once) uses them up
    // here. Until then every chunk handed out since the last call stays where
    // it was, right after the one before it.
    void (*before_refill)(void* context);
    void* refill_context;
};

void start_chunks(chunk_source& source, int fd, char* buffer, std::size_t capacity);

// 1 with the next chunk in *chunk / *length (valid until the next call),
// 0 at the end of the file, -1 on a read error (errno set; the source then
// stays failed rather than retrying).
int next_chunk(chunk_source& source, const char** chunk, std::size_t* length);

// The bytes read but not yet handed out: their count, and in *at where they
// start (valid until the next call that reads). Nothing is read here.
std::size_t buffered(const chunk_source& source, const char** at);

// Hands out the first n of those bytes at once. The caller vouches that they
// end where a chunk ends, so that next_chunk goes on as if it had handed them
// out itself.
void hand_out(chunk_source& source, std::size_t n);

}  // namespace tollmar::maildrop::detail
