#include "maildrop/lock.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "maildrop/file_io.hpp"
#include "maildrop/lock_detail.hpp"
#include "maildrop/seams.hpp"
#include "util/signals.hpp"

namespace tollmar::maildrop {

namespace {

constexpr std::int64_t stale_after = 600;  // seconds; exactly 600 is still fresh
constexpr int creation_attempts = 5;
constexpr std::int64_t refresh_interval = 60;  // seconds between renewals

std::time_t last_refresh = 0;  // 0: never renewed since start or since forgotten

int format_pid(char* out, std::size_t size) {
    return std::snprintf(out, size, "%u", static_cast<unsigned>(getpid()));
}

}  // namespace

bool lock_maildrop(const char* path, uid_t uid, gid_t gid) {
    char pid_text[30];
    const int pid_length = format_pid(pid_text, sizeof pid_text);

    char lock_path[PATH_MAX + 8];
    if (path == nullptr || !detail::sibling_path(lock_path, sizeof lock_path, path, ".lock")) {
        errno = ENAMETOOLONG;
        return false;
    }

    // Checked once: a lock left by a killed session lapses, while a lock whose
    // status-change time lies in the future (clock skew) never counts as stale.
    struct stat st;
    if (::stat(lock_path, &st) == 0) {
        const std::int64_t age =
            static_cast<std::int64_t>(detail::clock_now()) - static_cast<std::int64_t>(st.st_ctime);
        if (age > stale_after) ::unlink(lock_path);
    }

    for (int attempt = 0; attempt < creation_attempts; ++attempt) {
        const int fd = ::open(lock_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            // Once created the lock counts as taken, whatever follows.
            (void)detail::write_all(fd, pid_text, static_cast<std::size_t>(pid_length));
            (void)::fchown(fd, uid, gid);
            ::close(fd);
            last_refresh = detail::clock_now();
            return true;
        }
        const int reason = errno;
        detail::lock_pause();
        util::act_on_pending_signals();
        errno = reason;
    }
    return false;
}

void unlock_maildrop(const char* path) {
    char lock_path[PATH_MAX + 8];
    if (path == nullptr || !detail::sibling_path(lock_path, sizeof lock_path, path, ".lock"))
        return;
    ::unlink(lock_path);
}

void refresh_maildrop_lock(const char* path) {
    detail::refresh_lock(path, false);
}

bool lock_stream(int fd) {
    for (;;) {
        if (::lockf(fd, F_LOCK, 0) == 0) return true;
        if (errno != EINTR) return false;
        util::act_on_pending_signals();
    }
}

bool unlock_stream(int fd) {
    return ::lockf(fd, F_ULOCK, 0) == 0;
}

namespace detail {

void refresh_lock(const char* path, bool force) {
    if (path == nullptr) return;
    const std::time_t now = clock_now();
    const std::int64_t since = static_cast<std::int64_t>(now) - last_refresh;
    if (!force && last_refresh != 0 && since >= 0 && since < refresh_interval) return;
    last_refresh = now;

    char lock_path[PATH_MAX + 8];
    if (!sibling_path(lock_path, sizeof lock_path, path, ".lock")) return;
    const int fd = ::open(lock_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    char pid_text[30];
    const int pid_length = format_pid(pid_text, sizeof pid_text);
    char held[32];
    const ssize_t n = pread_full(fd, held, sizeof held, 0);
    struct stat st;
    // Only our own lock is renewed: one that another session took over after
    // ours lapsed, or any other file, is left alone. The touch goes through
    // the descriptor that was read, so it cannot land on a file swapped in
    // meanwhile.
    if (n == pid_length && std::memcmp(held, pid_text, static_cast<std::size_t>(n)) == 0 &&
        ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        (void)::futimens(fd, nullptr);
    ::close(fd);
}

void forget_lock_refresh() {
    last_refresh = 0;
}

bool lock_stream_uninterrupted(int fd) {
    for (;;) {
        if (::lockf(fd, F_LOCK, 0) == 0) return true;
        if (errno != EINTR) return false;
    }
}

}  // namespace detail
}  // namespace tollmar::maildrop
