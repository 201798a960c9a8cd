#include "maildrop/file_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "maildrop/seams.hpp"

namespace tollmar::maildrop::detail {

namespace {
char copy_buffer[65536];
constexpr std::int64_t kernel_piece = std::int64_t{1} << 30;
}  // namespace

bool sibling_path(char* out, std::size_t size, const char* path, const char* suffix) {
    const std::size_t a = std::strlen(path);
    const std::size_t b = std::strlen(suffix);
    if (a + b + 1 > size) {
        errno = ENAMETOOLONG;
        if (size > 0) out[0] = '\0';
        return false;
    }
    std::memcpy(out, path, a);
    std::memcpy(out + a, suffix, b + 1);
    return true;
}

bool write_all(int fd, const void* data, std::size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = write_call(fd, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            // No progress and no error: asking again could go on for ever.
            errno = EIO;
            return false;
        }
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool pwrite_all(int fd, const void* data, std::size_t length, off_t offset) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, p, length, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        offset += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

ssize_t read_some(int fd, void* buf, std::size_t count) {
    for (;;) {
        const ssize_t n = read_call(fd, buf, count);
        if (n >= 0 || errno != EINTR) return n;
    }
}

ssize_t pread_full(int fd, void* buf, std::size_t count, off_t offset) {
    char* p = static_cast<char*>(buf);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = pread_call(fd, p + done, count - done, offset + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

copy_result copy_range(int in, std::int64_t in_offset, int out, std::int64_t out_offset,
                       std::int64_t length) {
    while (length > 0) {
        off_t from = static_cast<off_t>(in_offset);
        off_t to = static_cast<off_t>(out_offset);
        const ssize_t n =
            copy_range_call(in, &from, out, &to,
                            static_cast<size_t>(length < kernel_piece ? length : kernel_piece), 0);
        if (n < 0 && errno == EINTR) continue;
        // 0: the source ended early; below, pread finds that out again.
        if (n <= 0) break;
        in_offset += n;
        out_offset += n;
        length -= n;
    }
    bool write_failed = false;
    const bool copied =
        read_range(in, in_offset, in_offset + length, copy_buffer, sizeof copy_buffer,
                   [&](const char* piece, std::size_t n) {
                       write_failed = !pwrite_all(out, piece, n, static_cast<off_t>(out_offset));
                       out_offset += static_cast<std::int64_t>(n);
                       return !write_failed;
                   });
    if (copied) return copy_done;
    return write_failed ? copy_write_failed : copy_read_failed;
}

void start_writeback(int fd, std::int64_t offset, std::int64_t length) {
    if (length > 0)
        (void)::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                                SYNC_FILE_RANGE_WRITE);
}

bool sync_folder_of(const char* path) {
    char folder[PATH_MAX + 1];
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::strcpy(folder, ".");
    } else if (slash == path) {
        std::strcpy(folder, "/");
    } else {
        const std::size_t n = static_cast<std::size_t>(slash - path);
        if (n >= sizeof folder) {
            errno = ENAMETOOLONG;
            return false;
        }
        std::memcpy(folder, path, n);
        folder[n] = '\0';
    }
    const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const int rc = ::fsync(fd);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return rc == 0;
}

}  // namespace tollmar::maildrop::detail
