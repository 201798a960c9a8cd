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

void log_maildrop_failure(const char* path, int error) {
    util::log_line(LOG_ERR, "%s: %s: %s", "failed to read maildrop", path, std::strerror(error));
}

}  // namespace

int spool_open(const char* path) {
    // Read-write and appending like the "a+b" stream mode, so a file removed
    // behind our back is recreated empty (and later removed by the clean-up).
    // O_NONBLOCK keeps a FIFO planted under the name from stalling the open.
    const int fd =
        open(path, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        log_open_failure(path, errno);
        return -1;
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
        return -1;
    }
    return fd;
}

void spool_start(spool_chunks& chunks, int fd, const char* path) {
    // One message is sent at a time, so one block buffer serves them all.
    static char block[64 * 1024];
    maildrop::detail::start_chunks(chunks.source, fd, block, sizeof block);
    chunks.path = path;
    chunks.from_maildrop = false;
}

bool maildrop_start(spool_chunks& chunks, int fd, const char* path, std::int64_t offset,
                    std::int64_t length) {
    spool_start(chunks, fd, path);
    chunks.from_maildrop = true;
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) {
        log_maildrop_failure(path, errno);
        return false;
    }
    maildrop::detail::limit_chunks(chunks.source, length);
    return true;
}

bool spool_next_chunk(spool_chunks& chunks, const char** chunk, std::size_t* length) {
    const int got = maildrop::detail::next_chunk(chunks.source, chunk, length);
    if (got < 0 && chunks.from_maildrop) log_maildrop_failure(chunks.path, errno);
    if (got < 0 && !chunks.from_maildrop) log_read_failure(chunks.path, errno);
    return got > 0;
}

void spool_send_line(int fd, const char* chunk, std::size_t length) {
    // A chunk holds an LF only as its last byte.
    std::size_t text = length > 0 && chunk[length - 1] == '\n' ? length - 1 : length;
    if (const void* cr = std::memchr(chunk, '\r', text))
        text = static_cast<std::size_t>(static_cast<const char*>(cr) - chunk);
    if (const void* nul = std::memchr(chunk, '\0', text))
        text = static_cast<std::size_t>(static_cast<const char*>(nul) - chunk);
    channel::send_line(fd, chunk, text, length > 0 && chunk[0] == '.');
}

}  // namespace tollmar::session
