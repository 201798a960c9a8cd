// Reading a message's spool file for RETR and TOP.
#pragma once
#include <cstddef>
#include <cstdint>

#include "maildrop/chunk_reader.hpp"

namespace tollmar::session {

// Opens the spool file for reading at its start, creating it empty when it has
// gone missing so that the end-of-session clean-up still finds a file to
// remove. Symbolic links, files that are not regular and files of another user
// are refused. On failure logs "Failed to open tmp file `%s': %s" and returns
// -1; otherwise the descriptor, which the caller closes.
int spool_open(const char* path);

// A spool file handed out in the chunks one fgets into a 4096-byte buffer
// would give (at most 4095 bytes, ending after the first LF), read in large
// blocks.
struct spool_chunks {
    maildrop::detail::chunk_source source;
    const char* path;    // for the log line of a read error
    bool from_maildrop;  // a message read in place: path is the maildrop's
};

void spool_start(spool_chunks& chunks, int fd, const char* path);

// The chunks of a message served in place: `length` bytes of the maildrop
// from `offset` (the maildrop's descriptor is moved there). False (logged as
// a failed read of the maildrop) when it cannot be positioned.
bool maildrop_start(spool_chunks& chunks, int fd, const char* path, std::int64_t offset,
                    std::int64_t length);

// The next chunk in *chunk / *length (valid until the next call). False at
// the end of the file and after a read error, which is logged once as
// "Failed to read tmp file `%s': %s".
bool spool_next_chunk(spool_chunks& chunks, const char** chunk, std::size_t* length);

// Sends one chunk as a line of a multi-line reply: the text up to its first CR
// (or, lacking one, its LF, and never past a NUL), dot-stuffed, then CR LF.
void spool_send_line(int fd, const char* chunk, std::size_t length);

}  // namespace tollmar::session
