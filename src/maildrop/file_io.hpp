// Small descriptor helpers shared by the scan, the journal and the update.
#pragma once
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace tollmar::maildrop::detail {

// The outcome of copying bytes from one file into another.
enum copy_result : int {
    copy_read_failed = -1,  // or the source ended early (errno EIO then)
    copy_write_failed = 0,
    copy_done = 1,
};

// Copies length bytes of in from in_offset to out at out_offset, leaving both
// file offsets alone. The kernel copies (copy_file_range) where it can, so
// unchanged mail never passes through this process; where it cannot (another
// file system, an old kernel) or any error comes up, the rest goes through a
// buffer, which also tells a failed read from a failed write.
copy_result copy_range(int in, std::int64_t in_offset, int out, std::int64_t out_offset,
                       std::int64_t length);

// Starts writing out[offset, offset + length) to disk without waiting for
// it (sync_file_range), so that a long copy and the device's writing overlap
// and the fsync that follows finds most of the work done. Only a hint: it
// reports nothing, and write errors surface at that fsync.
void start_writeback(int fd, std::int64_t offset, std::int64_t length);

// path followed by suffix into out; false (errno ENAMETOOLONG) when cut.
bool sibling_path(char* out, std::size_t size, const char* path, const char* suffix);

// Writes all bytes, retrying on EINTR and short writes. True when done; a
// write that takes nothing without an error fails with EIO.
bool write_all(int fd, const void* data, std::size_t length);
bool pwrite_all(int fd, const void* data, std::size_t length, off_t offset);

// Reads at most count bytes, retrying on EINTR. As read(2) otherwise.
ssize_t read_some(int fd, void* buf, std::size_t count);

// Reads count bytes from offset, stopping early only at the end of the file.
// Returns the number of bytes read, or -1 on an error.
ssize_t pread_full(int fd, void* buf, std::size_t count, off_t offset);

// Reads fd's bytes [from, to) through buffer (size bytes at a time) and hands
// each piece to take(piece, n), in order, leaving the file offset alone.
// False when a read fails or the file ends early (errno EIO then), or when
// take returns false.
template <typename Take>
bool read_range(int fd, std::int64_t from, std::int64_t to, char* buffer, std::size_t size,
                Take&& take) {
    for (std::int64_t at = from; at < to;) {
        const std::size_t n =
            to - at < static_cast<std::int64_t>(size) ? static_cast<std::size_t>(to - at) : size;
        const ssize_t got = pread_full(fd, buffer, n, static_cast<off_t>(at));
        if (got < 0 || static_cast<std::size_t>(got) != n) {
            if (got >= 0) errno = EIO;
            return false;
        }
        if (!take(static_cast<const char*>(buffer), n)) return false;
        at += static_cast<std::int64_t>(n);
    }
    return true;
}

// fsync of the folder that holds path, so that a rename or unlink in it
// survives a crash. False (errno set) when that fails.
bool sync_folder_of(const char* path);

}  // namespace tollmar::maildrop::detail
