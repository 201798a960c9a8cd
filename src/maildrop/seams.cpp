#include "maildrop/seams.hpp"

#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

namespace tollmar::maildrop::detail {

namespace {
std::time_t system_now() {
    return std::time(nullptr);
}
void one_second() {
    sleep(1);
}
}  // namespace

std::time_t (*clock_now)() = system_now;
void (*lock_pause)() = one_second;
ssize_t (*read_call)(int, void*, size_t) = ::read;
ssize_t (*pread_call)(int, void*, size_t, off_t) = ::pread;
void (*on_update_step)(update_step) = nullptr;
void (*log_observer)(int, const char*) = nullptr;

void log_line(int priority, const char* format, ...) {
    char line[9000];  // room for two full paths and a reason
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    syslog(priority, "%s", line);
    if (log_observer != nullptr) log_observer(priority, line);
}

void reset_seams() {
    clock_now = system_now;
    lock_pause = one_second;
    read_call = ::read;
    pread_call = ::pread;
    on_update_step = nullptr;
    log_observer = nullptr;
}

}  // namespace tollmar::maildrop::detail
