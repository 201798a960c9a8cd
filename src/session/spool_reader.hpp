// Reading a message's spool file for RETR and TOP.
#pragma once
#include <cstddef>
#include <cstdio>

namespace tollmar::session {

// Size of the buffer one chunk is read into: a chunk holds at most 4095 bytes.
constexpr std::size_t spool_chunk_size = 4096;

// Opens the spool file for reading at its start, creating it empty when it has
// gone missing so that the end-of-session clean-up still finds a file to
// remove. Symbolic links, files that are not regular and files of another user
// are refused. On failure logs "Failed to open tmp file `%s': %s" and returns
// null.
std::FILE* spool_open(const char* path);

// Reads the next chunk (up to and including the next LF, at most 4095 bytes).
// Returns false at the end of the file and after a read error, which is logged
// once as "Failed to read tmp file `%s': %s".
bool spool_read_chunk(std::FILE* file, char* chunk, const char* path);

// Sends one chunk as a line of a multi-line reply: the text up to its first CR
// (or, lacking one, its first LF, and never past a NUL), dot-stuffed, then
// CR LF.
void spool_send_line(int fd, const char* chunk);

}  // namespace tollmar::session
