#include "maildrop/seams.hpp"

#include <unistd.h>

#include <ctime>

#include "util/log.hpp"

namespace tollmar::maildrop::detail {

namespace {
std::time_t system_now() {
    return std::time(nullptr);
}
void sleep_ms(int milliseconds) {
    const struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    ::nanosleep(&pause, nullptr);
}
}  // namespace

std::time_t (*clock_now)() = system_now;
void (*lock_pause)(int) = sleep_ms;
ssize_t (*read_call)(int, void*, size_t) = ::read;
ssize_t (*pread_call)(int, void*, size_t, off_t) = ::pread;
ssize_t (*write_call)(int, const void*, size_t) = ::write;
ssize_t (*copy_range_call)(int, off_t*, int, off_t*, size_t, unsigned int) = ::copy_file_range;
int (*lstat_call)(const char*, struct stat*) = ::lstat;
int (*lockf_call)(int, int, off_t) = ::lockf;
void (*on_update_step)(update_step) = nullptr;
void (*on_lock_moved_aside)() = nullptr;

void step_reached(update_step step) {
    if (on_update_step != nullptr) on_update_step(step);
}

void reset_seams() {
    clock_now = system_now;
    lock_pause = sleep_ms;
    read_call = ::read;
    pread_call = ::pread;
    write_call = ::write;
    copy_range_call = ::copy_file_range;
    lstat_call = ::lstat;
    lockf_call = ::lockf;
    on_update_step = nullptr;
    on_lock_moved_aside = nullptr;
    util::log_observer = nullptr;
}

}  // namespace tollmar::maildrop::detail
