#include "session/spool_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "channel/line_io.hpp"
#include "util/log.hpp"

namespace tollmar::session {

namespace {

void log_open_failure(const char* path, int error) {
    util::log_line(LOG_ERR, "Failed to open tmp file `%s': %s", path, std::strerror(error));
}

void log_read_failure(const char* path, int error) {
    util::log_line(LOG_ERR, "Failed to read tmp file `%s': %s", path, std::strerror(error));
}

}  // namespace

std::FILE* spool_open(const char* path) {
    // Read-write and appending like the "a+b" stream mode, so a file removed
    // behind our back is recreated empty (and later removed by the clean-up).
    // O_NONBLOCK keeps a FIFO planted under the name from stalling the open.
    const int fd =
        open(path, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        log_open_failure(path, errno);
        return nullptr;
    }
    struct stat info;
    int refusal = 0;
    if (fstat(fd, &info) != 0)
        refusal = errno;
    else if (!S_ISREG(info.st_mode))
        refusal = EINVAL;  // a device or FIFO would feed or stall the reply
    else if (info.st_uid != geteuid())
        refusal = EPERM;  // someone else's file under a vanished spool name
    if (refusal != 0) {
        close(fd);
        log_open_failure(path, refusal);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "a+b");
    if (file == nullptr) {
        const int error = errno;
        close(fd);
        log_open_failure(path, error);
        return nullptr;
    }
    std::rewind(file);
    return file;
}

bool spool_read_chunk(std::FILE* file, char* chunk, const char* path) {
    if (std::fgets(chunk, static_cast<int>(spool_chunk_size), file) != nullptr) return true;
    if (std::ferror(file)) log_read_failure(path, errno);
    return false;
}

void spool_send_line(int fd, const char* chunk) {
    const char* cut = std::strchr(chunk, '\r');
    if (cut == nullptr) cut = std::strchr(chunk, '\n');
    std::size_t length =
        (cut != nullptr) ? static_cast<std::size_t>(cut - chunk) : std::strlen(chunk);
    if (length > spool_chunk_size - 1) length = spool_chunk_size - 1;

    // Dot, text and CR LF go out as one piece: the same bytes the client
    // would get from three separate sends.
    char line[spool_chunk_size + 3];
    std::size_t at = 0;
    if (chunk[0] == '.') line[at++] = '.';
    std::memcpy(line + at, chunk, length);
    at += length;
    line[at++] = '\r';
    line[at++] = '\n';
    line[at] = '\0';
    channel::send_text(fd, line);
}

}  // namespace tollmar::session
