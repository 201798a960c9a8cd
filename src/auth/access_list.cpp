#include "auth/access_list.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tollmar::auth {

namespace {

// Access lists are short; anything this large is not one, and refusing it
// keeps a stray file from making every login allocate that much.
constexpr off_t largest_list = 16 * 1024 * 1024;

// Reads the whole list into a fresh NUL-terminated buffer, or returns null
// with errno telling why (ENOENT for a list that does not exist).
char* read_list(const char* path) {
    // O_NONBLOCK: a FIFO at the list's path must not hang the login.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;

    struct stat status;
    int failure = 0;
    if (fstat(fd, &status) != 0) {
        failure = errno;
    } else if (!S_ISREG(status.st_mode)) {
        failure = EINVAL;
    } else if (status.st_size > largest_list) {
        failure = EFBIG;
    }

    char* content = nullptr;
    if (failure == 0) {
        const std::size_t size = static_cast<std::size_t>(status.st_size);
        content = static_cast<char*>(std::malloc(size + 1));
        if (content == nullptr) failure = ENOMEM;
        std::size_t filled = 0;
        while (failure == 0 && filled < size) {
            const ssize_t got = read(fd, content + filled, size - filled);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                failure = errno;
            } else if (got == 0) {
                failure = EIO;  // the file shrank since fstat: not read whole
            } else {
                filled += static_cast<std::size_t>(got);
            }
        }
        if (content != nullptr) content[filled] = '\0';
    }

    if (close(fd) != 0 && failure == 0) failure = errno;
    if (failure != 0) {
        std::free(content);
        errno = failure;
        return nullptr;
    }
    return content;
}

bool ends_word(char c) {
    return c == '\t' || c == '\n' || c == ' ';
}

const char* next_line(const char* p) {
    const char* lf = std::strchr(p, '\n');
    return lf != nullptr ? lf + 1 : nullptr;
}

bool scan_list(const char* content, const char* name) {
    const std::size_t name_length = std::strlen(name);
    const char* p = content;
    while (p != nullptr) {
        while (*p == '\t' || *p == ' ') ++p;
        if (*p == '\0') return false;
        // strncmp stops at the list's NUL, so p[name_length] is only looked
        // at when that many bytes of the list matched.
        if (*p != '#' && std::strncmp(p, name, name_length) == 0 && ends_word(p[name_length])) {
            return true;
        }
        p = next_line(p);
    }
    return false;
}

}  // namespace

list_lookup user_listed(const char* name, const char* path) {
    if (name == nullptr || path == nullptr) {
        errno = EINVAL;
        return list_unreadable;
    }
    char* content = read_list(path);
    if (content == nullptr) return list_unreadable;
    const bool listed = scan_list(content, name);
    std::free(content);
    return listed ? name_listed : name_not_listed;
}

}  // namespace tollmar::auth
