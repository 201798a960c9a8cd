#include "util/log.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "util/clock.hpp"

namespace tollmar::util {

void (*log_observer)(int, const char*) = nullptr;
void (*log_forwarder)(int, const char*) = nullptr;

namespace {

bool copy_lines_to_stderr = false;

// One write per line: connection processes share standard error, and a line
// written in pieces could be split by another process's line.
void copy_to_stderr(const char* line) {
    char text[9100];
    const int n = std::snprintf(text, sizeof text, "tollmar[%u]: %s\n",
                                static_cast<unsigned>(getpid()), line);
    if (n <= 0) return;
    std::size_t length = static_cast<std::size_t>(n);
    if (length >= sizeof text) {
        length = sizeof text - 1;
        text[length - 1] = '\n';
    }
    const char* next = text;
    while (length > 0) {
        const ssize_t written = write(STDERR_FILENO, next, length);
        if (written <= 0) return;  // nobody reads it: syslog still has the line
        next += written;
        length -= static_cast<std::size_t>(written);
    }
}

// Where no syslog daemon listens, the C library opens a socket and tries to
// connect it for every line, only to close it again: three system calls a
// line, a dozen a login. So the log socket is tried once, and while nobody
// listens at most once a second after that (connection processes inherit
// the verdict); a line written while nobody listens is lost either way.
bool syslog_listening = true;
std::int64_t last_probe_ms = 0;
constexpr std::int64_t probe_interval_ms = 1000;

bool probe_syslog() {
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", _PATH_LOG);
    // As the C library does: a datagram socket, or a stream where the
    // daemon listens on one.
    for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
        const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
        if (fd < 0) return true;  // cannot tell: let the library try
        const int result =
            connect(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address);
        const int error = errno;
        close(fd);
        if (result == 0) return true;
        if (error != EPROTOTYPE) return false;
    }
    return false;
}

bool syslog_worth_trying() {
    if (syslog_listening) return true;
    const std::int64_t now = monotonic_ms();
    if (now - last_probe_ms < probe_interval_ms) return false;
    last_probe_ms = now;
    syslog_listening = probe_syslog();
    return syslog_listening;
}

}  // namespace

void open_log(const char* ident, bool copy_to_stderr) {
    openlog(ident, LOG_PID, LOG_MAIL);
    copy_lines_to_stderr = copy_to_stderr;
    last_probe_ms = monotonic_ms();
    syslog_listening = probe_syslog();
}

void log_line(int priority, const char* format, ...) {
    char line[log_line_size];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (log_forwarder != nullptr) {
        log_forwarder(priority, line);
    } else {
        if (syslog_worth_trying()) syslog(priority, "%s", line);
        if (copy_lines_to_stderr) copy_to_stderr(line);
    }
    if (log_observer != nullptr) log_observer(priority, line);
}

}  // namespace tollmar::util
