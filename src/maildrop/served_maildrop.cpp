#include "maildrop/served_maildrop.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "maildrop/file_io.hpp"
#include "maildrop/maildrop_path.hpp"
#include "util/log.hpp"

namespace tollmar::maildrop {

namespace {

int served_fd = -1;

bool misplaced(const char* why) {
    const char* path = maildrop_path();
    util::log_line(LOG_ERR, "%s: %s: %s", "failed to read maildrop", path != nullptr ? path : "",
                   why);
    return false;
}

}  // namespace

int served_maildrop() {
    return served_fd;
}

bool message_in_place(const message_entry& entry) {
    if (served_fd < 0) return misplaced("not open");
    struct stat st;
    if (::fstat(served_fd, &st) != 0) return misplaced(std::strerror(errno));
    if (entry.offset < 0 || entry.spool_length < 0 ||
        entry.spool_length > static_cast<std::int64_t>(st.st_size) - entry.offset)
        return misplaced("shorter than when it was scanned");
    // The byte before the message, then "From ".
    char head[6];
    const std::int64_t from = entry.offset > 0 ? entry.offset - 1 : 0;
    const std::size_t want = entry.offset > 0 ? 6 : 5;
    const ssize_t got = detail::pread_full(served_fd, head, want, static_cast<off_t>(from));
    if (got != static_cast<ssize_t>(want)) return misplaced("shorter than when it was scanned");
    const char* start = entry.offset > 0 ? head + 1 : head;
    if ((entry.offset > 0 && head[0] != '\n') || std::memcmp(start, "From ", 5) != 0)
        return misplaced("no message where the scan found one");
    return true;
}

void close_served_maildrop() {
    if (served_fd >= 0) ::close(served_fd);
    served_fd = -1;
}

namespace detail {

void keep_served_maildrop(int fd) {
    close_served_maildrop();
    served_fd = fd;
}

}  // namespace detail
}  // namespace tollmar::maildrop
