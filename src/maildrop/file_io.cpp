#include "maildrop/file_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "maildrop/seams.hpp"

namespace tollmar::maildrop::detail {

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
        const ssize_t n = ::write(fd, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
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
