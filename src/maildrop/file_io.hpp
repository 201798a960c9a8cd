// Small descriptor helpers shared by the scan, the journal and the update.
#pragma once
#include <sys/types.h>

#include <cstddef>

namespace tollmar::maildrop::detail {

// path followed by suffix into out; false (errno ENAMETOOLONG) when cut.
bool sibling_path(char* out, std::size_t size, const char* path, const char* suffix);

// Writes all bytes, retrying on EINTR and short writes. True when done.
bool write_all(int fd, const void* data, std::size_t length);
bool pwrite_all(int fd, const void* data, std::size_t length, off_t offset);

// Reads at most count bytes, retrying on EINTR. As read(2) otherwise.
ssize_t read_some(int fd, void* buf, std::size_t count);

// Reads count bytes from offset, stopping early only at the end of the file.
// Returns the number of bytes read, or -1 on an error.
ssize_t pread_full(int fd, void* buf, std::size_t count, off_t offset);

// fsync of the folder that holds path, so that a rename or unlink in it
// survives a crash. False (errno set) when that fails.
bool sync_folder_of(const char* path);

}  // namespace tollmar::maildrop::detail
