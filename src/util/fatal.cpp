#include "util/fatal.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "util/log.hpp"

namespace tollmar::util {

namespace {

bool serving = false;

}  // namespace

void fatal(const char* terminal_text, const char* format, ...) {
    char text[log_line_size];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_line(LOG_ERR, "%s", text);
    if (!serving) std::fprintf(stderr, "%s\n", terminal_text != nullptr ? terminal_text : text);
    std::exit(1);
}

void note_serving() {
    serving = true;
}

}  // namespace tollmar::util
