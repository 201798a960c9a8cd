// Where a message of an mbox starts. The rule lives here alone, because the
// scan that builds the table, the wire form that drops the separator line,
// the index that resumes a scan in the middle of a file and serving in place
// that checks an offset before it reads there must never disagree on it: a
// message found by one and not by another would be torn or forged.
//
// A message starts at a line that begins with "From ", at the start of the
// file or right after an LF. The maildrop is read in chunks of at most
// detail::chunk_limit bytes, each ending at a line end or at the limit, and
// only a chunk that begins a line can begin a message: "From " in the middle
// of a long line is body text wherever the chunks are cut.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "maildrop/chunk_reader.hpp"

namespace tollmar::maildrop {

// The first five bytes are "From ": a separator line, when they begin a line.
inline bool starts_with_separator(const char* data, std::size_t length) {
    return length >= 5 && std::memcmp(data, "From ", 5) == 0;
}

// Whether a chunk that begins a line, past the first of the file, begins a
// message: it starts with "From " and either ends its line or, cut at the
// chunk limit, holds a CR (`has_cr`). A chunk cut short by the end of the
// file ends the message before it instead.
inline bool chunk_starts_message(const char* chunk, std::size_t length, bool has_cr) {
    if (!starts_with_separator(chunk, length)) return false;
    return chunk[length - 1] == '\n' || (length >= detail::chunk_limit && has_cr);
}

// The same, looking for the CR itself.
inline bool chunk_starts_message(const char* chunk, std::size_t length) {
    return starts_with_separator(chunk, length) &&
           chunk_starts_message(chunk, length, std::memchr(chunk, '\r', length) != nullptr);
}

// Whether a message starts at `at` in fd, as a scan of the whole file would
// find it; false when fd cannot be read there.
bool message_starts_at(int fd, std::int64_t at);

}  // namespace tollmar::maildrop
