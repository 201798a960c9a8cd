// The end of a session that cannot go on: a last reply to the client, a log
// line, and the process's end.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "channel/line_io.hpp"
#include "util/log.hpp"

namespace tollmar::channel {

void end_session(int fd, const char* reply) {
    send_text(fd, reply);
    std::exit(1);
}

void end_session(int fd, const char* reply, int priority, const char* format, ...) {
    send_text(fd, reply);
    char text[util::log_line_size];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    util::log_line(priority, "%s", text);
    std::exit(1);
}

}  // namespace tollmar::channel
