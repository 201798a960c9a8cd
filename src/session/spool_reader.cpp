#include "session/spool_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/log.hpp"

namespace tollmar::session {

namespace {

void log_open_failure(const char* path, int error) {
    util::log_line(LOG_ERR, "Failed to open tmp file `%s': %s", path, std::strerror(error));
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

void log_spool_read_failure(const char* path, int error) {
    util::log_line(LOG_ERR, "Failed to read tmp file `%s': %s", path, std::strerror(error));
}

}  // namespace tollmar::session
