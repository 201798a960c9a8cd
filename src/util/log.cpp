#include "util/log.hpp"

#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

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

}  // namespace

void open_log(const char* ident, bool copy_to_stderr) {
    openlog(ident, LOG_PID, LOG_MAIL);
    copy_lines_to_stderr = copy_to_stderr;
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
        syslog(priority, "%s", line);
        if (copy_lines_to_stderr) copy_to_stderr(line);
    }
    if (log_observer != nullptr) log_observer(priority, line);
}

}  // namespace tollmar::util
