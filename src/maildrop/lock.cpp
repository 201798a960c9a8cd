#include "maildrop/lock.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "maildrop/file_io.hpp"
#include "maildrop/lock_detail.hpp"
#include "maildrop/origin.hpp"
#include "maildrop/seams.hpp"
#include "util/signals.hpp"
#include "util/unique_fd.hpp"

namespace tollmar::maildrop {

namespace {

constexpr std::int64_t stale_after = 600;  // seconds; exactly 600 is still fresh
// The wait for a lock held by another session: about five seconds in all, as
// pauses that start short and double, so that a client reconnecting right
// after its QUIT gets in at once.
constexpr int first_pause_ms = 10;
constexpr int longest_pause_ms = 1000;
constexpr int total_wait_ms = 5000;
constexpr std::int64_t refresh_interval = 60;  // seconds between renewals
// The unlock's wait for another session's judging (see take_guard): 1 s.
constexpr int unlock_guard_tries = 100;
constexpr int unlock_guard_pause_ms = 10;
constexpr std::size_t name_room = PATH_MAX + 160;

std::time_t last_refresh = 0;  // 0: never renewed since start or since forgotten

// The lock this process took: the file's identity and the second name it keeps
// for the session's life ("<lock>.<origin>.<pid>", see owner_name).
// The file stays open for the session's life: it is made by root and handed
// to the account, but where the hand-over is not allowed (a sandbox without
// CAP_CHOWN) the session still reads and renews its lock through this
// descriptor, opened for writing when the file was made.
struct held_lock {
    bool held;
    int fd;
    dev_t device;
    ino_t inode;
    char owner_path[name_room];
};
held_lock held = {false, -1, 0, 0, {}};

void forget_held() {
    if (held.fd >= 0) ::close(held.fd);
    held.fd = -1;
    held.held = false;
}

int format_pid(char* out, std::size_t size, pid_t pid) {
    return std::snprintf(out, size, "%u", static_cast<unsigned>(pid));
}

// "<lock>.<origin>.<pid>": the lock's second name while the session lives.
bool owner_name(char* out, std::size_t size, const char* lock_path, pid_t pid) {
    const int n = std::snprintf(out, size, "%s.%s.%u", lock_path, process_origin(),
                                static_cast<unsigned>(pid));
    if (process_origin()[0] == '\0' || n < 0 || static_cast<std::size_t>(n) >= size) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

bool lock_name(char* out, std::size_t size, const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return false;
    }
    return detail::sibling_path(out, size, path, ".lock");
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Process ID held by the lock file open at fd; 0 when it holds anything else.
pid_t pid_in(int fd) {
    char text[32];
    ssize_t n = 0;
    do n = ::pread(fd, text, sizeof text - 1, 0);
    while (n < 0 && errno == EINTR);
    if (n <= 0 || n > 10) return 0;
    text[n] = '\0';
    long value = 0;
    for (ssize_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        value = value * 10 + (text[i] - '0');
    }
    return value > 0 && value <= INT_MAX ? static_cast<pid_t>(value) : 0;
}

// The status of the regular file under path, and the process ID it holds (0
// when it cannot be read or holds anything else: a lock need not be readable
// to be judged by its age). False when there is no regular file.
bool look_at(const char* path, struct stat* st, pid_t* pid) {
    *pid = 0;
    if (::lstat(path, st) != 0 || !S_ISREG(st->st_mode)) return false;
    const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return true;
    struct stat opened;
    if (::fstat(fd, &opened) == 0 && same_file(opened, *st)) *pid = pid_in(fd);
    ::close(fd);
    return true;
}

// True while the name lock_path holds the very file this process took, and
// that file still holds our ID.
bool still_ours(const char* lock_path) {
    if (!held.held) return false;
    struct stat st;
    return ::lstat(lock_path, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == held.device &&
           st.st_ino == held.inode && pid_in(held.fd) == ::getpid();
}

// A lock made on this host under our origin by a process that is gone: its
// second name "<lock>.<origin>.<pid>" names the very same file, and no process
// with that ID exists. A live process of another user answers EPERM and counts
// as alive; so does a reused ID (the lock then waits for the 600 seconds).
bool made_by_dead_process(const char* lock_path, const struct stat& lock_st, pid_t pid,
                          char* owner_out, std::size_t owner_size) {
    owner_out[0] = '\0';
    if (pid <= 0 || pid == ::getpid() || lock_st.st_nlink != 2) return false;
    if (!owner_name(owner_out, owner_size, lock_path, pid)) return false;
    struct stat owner_st;
    if (::lstat(owner_out, &owner_st) != 0 || !S_ISREG(owner_st.st_mode) ||
        !same_file(owner_st, lock_st))
        return false;
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Removes the lock file under lock_path only if it is the file `is_it`
// accepts (the lock judged stale, say): the name is first moved to one of our
// own, so that what is judged is what goes. Runs under the guard
// (take_guard), so no session of ours changes the name in between; a file
// that an agent ignoring the guard put there meanwhile is put back.
// True when removed.
template <typename Judge>
bool remove_if(const char* lock_path, Judge is_it) {
    char aside[name_room];
    unsigned random_part = 0;
    if (::getrandom(&random_part, sizeof random_part, 0) != sizeof random_part)
        random_part = static_cast<unsigned>(std::rand());
    const int n = std::snprintf(aside, sizeof aside, "%s.stale.%u.%u", lock_path,
                                static_cast<unsigned>(::getpid()), random_part);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof aside) return false;
    if (::rename(lock_path, aside) != 0) return false;  // gone already
    if (detail::on_lock_moved_aside != nullptr) detail::on_lock_moved_aside();
    struct stat now;
    pid_t now_pid = 0;
    const bool same = look_at(aside, &now, &now_pid) && is_it(now, now_pid);
    if (!same) (void)::link(aside, lock_path);
    ::unlink(aside);
    return same;
}

// The folder of path ("." or "/" where it has no other).
std::string folder_of(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return ".";
    if (slash == path) return "/";
    return std::string(path, static_cast<std::size_t>(slash - path));
}

// Every removal of a lock by one who judged it (a stale lock's takeover, a
// session removing its own) runs under an exclusive flock of the guard file
// "<lock>.guard" beside the lock. Between judging the file under the lock
// name and moving it aside, no other session can then remove it and link a
// fresh lock there; so the file moved aside is the one judged, and is never
// put back. Putting back is what is unsafe: the name stays empty meanwhile,
// a third login can take it, and the session whose fresh lock was moved
// aside loses it while it still holds the maildrop. Taking a free lock (the
// link) needs no guard. The guard is held for a few system calls; a kill
// ends it with the process. lock_model.py beside this file checks every
// interleaving of the protocol.
//
// The guard is a regular file so that it excludes across hosts: an NFS
// client hands a flock of a file to the lock manager as a lock of the whole
// file (a flock of a folder stays on the client), and a FUSE mount that
// forwards locks passes it to the file below. It is made on first use and
// never removed: a session could otherwise lock a file already gone from
// the name while another locks its successor. It holds nothing.
enum class guard { held, busy, unavailable };

bool guard_name(char* out, std::size_t size, const char* lock_path) {
    const int n = std::snprintf(out, size, "%s.guard", lock_path);
    return n >= 0 && static_cast<std::size_t>(n) < size;
}

// The guard, made when missing (and then handed to the account, as the
// lock is, when `owner` is given: the session opens it again to release
// its lock).
struct guard_owner {
    uid_t uid;
    gid_t gid;
};

guard take_guard(const char* lock_path, util::unique_fd& file, const guard_owner* owner) {
    char path[name_room];
    if (!guard_name(path, sizeof path, lock_path)) return guard::unavailable;
    constexpr int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    file.reset(::open(path, flags | O_CREAT | O_EXCL, 0600));
    if (file.valid()) {
        if (owner != nullptr) (void)::fchown(file.get(), owner->uid, owner->gid);
    } else if (errno == EEXIST) {
        file.reset(::open(path, flags));
    }
    struct stat st;
    if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return guard::unavailable;
    if (::flock(file.get(), LOCK_EX | LOCK_NB) == 0) return guard::held;
    // A file system without flock (or a file in the way): judged unguarded,
    // as the lock file's own rules alone allow.
    return errno == EWOULDBLOCK ? guard::busy : guard::unavailable;
}

void take_over(const char* lock_path, const struct stat& judged, pid_t judged_pid,
               const char* owner_path) {
    // A fresh lock may even reuse the inode number of the stale one that a
    // contender removed; its modification time and its ID tell them apart.
    const bool removed = remove_if(lock_path, [&](const struct stat& now, pid_t now_pid) {
        return same_file(now, judged) && now.st_mtim.tv_sec == judged.st_mtim.tv_sec &&
               now.st_mtim.tv_nsec == judged.st_mtim.tv_nsec && now_pid == judged_pid;
    });
    struct stat owner_st;
    if (removed && owner_path[0] != '\0' && ::lstat(owner_path, &owner_st) == 0 &&
        same_file(owner_st, judged))
        ::unlink(owner_path);
}

// Judges an existing lock once; takes it over when stale or left by a dead
// process of this host. False when another session was judging or removing
// a lock at that moment: then nothing was judged.
bool clear_stale_lock(const char* lock_path, const guard_owner& owner) {
    util::unique_fd guard_file;
    if (take_guard(lock_path, guard_file, &owner) == guard::busy) return false;
    struct stat st;
    pid_t pid = 0;
    if (!look_at(lock_path, &st, &pid)) return true;
    // A lock whose status-change time lies in the future (clock skew) never
    // counts as stale.
    const std::int64_t age =
        static_cast<std::int64_t>(detail::clock_now()) - static_cast<std::int64_t>(st.st_ctime);
    char owner_path[name_room];
    const bool dead = made_by_dead_process(lock_path, st, pid, owner_path, sizeof owner_path);
    if (age > stale_after || dead) take_over(lock_path, st, pid, owner_path);
    return true;
}

// One attempt: the unique file (our second name) is linked to the lock name.
// The link count of the unique file tells whether the link was made, also
// where link() reports a lost reply (NFS). True when the lock is ours.
bool try_link(const char* lock_path, const char* owner_path, uid_t uid, gid_t gid) {
    // A leftover under our own second name was left by a dead process with
    // our ID under our origin: nobody else can be using it.
    ::unlink(owner_path);
    const int fd = ::open(owner_path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    char pid_text[30];
    const int pid_length = format_pid(pid_text, sizeof pid_text, ::getpid());
    struct stat st;
    bool ok = detail::write_all(fd, pid_text, static_cast<std::size_t>(pid_length)) &&
              ::fstat(fd, &st) == 0;
    (void)::fchown(fd, uid, gid);  // not allowed everywhere: see held_lock
    int reason = errno;
    if (ok) {
        // link() succeeding is the proof. Only when it reports an error is
        // the count read back: over NFS a link can be made and its reply
        // lost, and the retry then fails with EEXIST. The count is never
        // trusted over a success: a client that caches attributes may show
        // the count from before the link for a while, and a lock judged not
        // taken would be left behind under the lock name with our pid in it.
        ok = ::link(owner_path, lock_path) == 0;
        if (!ok) {
            reason = errno;
            struct stat after;
            ok = detail::lstat_call(owner_path, &after) == 0 && same_file(after, st) &&
                 after.st_nlink == 2;
        }
    }
    if (!ok) {
        ::close(fd);
        ::unlink(owner_path);
        errno = reason;
        return false;
    }
    forget_held();
    held.held = true;
    held.fd = fd;
    held.device = st.st_dev;
    held.inode = st.st_ino;
    return true;
}

// Without an origin the second name is a unique one that is removed at once:
// the lock then only lapses by the 600-second rule.
bool fallback_owner_name(char* out, std::size_t size, const char* lock_path) {
    const int n =
        std::snprintf(out, size, "%s.tmp.%u", lock_path, static_cast<unsigned>(::getpid()));
    return n >= 0 && static_cast<std::size_t>(n) < size;
}

}  // namespace

bool lock_maildrop(const char* path, uid_t uid, gid_t gid) {
    char lock_path[name_room];
    char owner_path[name_room];
    if (!lock_name(lock_path, sizeof lock_path, path) ||
        (!owner_name(owner_path, sizeof owner_path, lock_path, ::getpid()) &&
         !fallback_owner_name(owner_path, sizeof owner_path, lock_path))) {
        errno = ENAMETOOLONG;
        return false;
    }
    forget_held();
    const guard_owner owner{uid, gid};
    bool judged = clear_stale_lock(lock_path, owner);

    int waited_ms = 0;
    int pause_ms = first_pause_ms;
    for (;;) {
        if (!judged) judged = clear_stale_lock(lock_path, owner);
        if (try_link(lock_path, owner_path, uid, gid)) {
            if (process_origin()[0] == '\0') {
                ::unlink(owner_path);
                held.owner_path[0] = '\0';
            } else {
                std::memcpy(held.owner_path, owner_path, sizeof held.owner_path);
            }
            last_refresh = detail::clock_now();
            return true;
        }
        const int reason = errno;
        if (waited_ms >= total_wait_ms) {
            errno = reason;
            return false;
        }
        const int pause =
            pause_ms < total_wait_ms - waited_ms ? pause_ms : total_wait_ms - waited_ms;
        detail::lock_pause(pause);
        waited_ms += pause;
        pause_ms = pause_ms * 2 < longest_pause_ms ? pause_ms * 2 : longest_pause_ms;
        util::act_on_pending_signals();
        errno = reason;
    }
}

void unlock_maildrop(const char* path) {
    char lock_path[name_room];
    if (!lock_name(lock_path, sizeof lock_path, path)) return;
    // Checked on the file that goes, not on the name: a session stopped here
    // while its lock lapsed and was taken must not remove the new one.
    util::unique_fd guard_file;
    guard state = take_guard(lock_path, guard_file, nullptr);
    for (int tries = 0; state == guard::busy && tries < unlock_guard_tries; ++tries) {
        detail::lock_pause(unlock_guard_pause_ms);
        state = take_guard(lock_path, guard_file, nullptr);
    }
    if (state == guard::busy) {
        // Another session keeps judging: the lock and its second name stay,
        // and the next login on this host takes them over once we are gone.
        forget_held();
        return;
    }
    if (still_ours(lock_path))
        (void)remove_if(lock_path, [](const struct stat& now, pid_t) {
            // Read through our descriptor: the account may not be able to
            // open a lock it could not be handed.
            return now.st_dev == held.device && now.st_ino == held.inode &&
                   pid_in(held.fd) == ::getpid();
        });
    if (held.held && held.owner_path[0] != '\0') {
        struct stat st;
        if (::lstat(held.owner_path, &st) == 0 && st.st_dev == held.device &&
            st.st_ino == held.inode)
            ::unlink(held.owner_path);
    }
    forget_held();
}

namespace {

constexpr std::int64_t leftover_after = 60;   // seconds untouched
constexpr std::size_t most_leftovers = 1024;  // names judged per sweep

bool all_of(const char* text, const char* set) {
    return text[0] != '\0' && text[std::strspn(text, set)] == '\0';
}

// "<origin>.<pid>" (a second name) or "stale.<pid>.<random>" (a lock moved
// aside), after "<maildrop>.lock.".
bool leftover_name(const char* tail) {
    const char* dot = std::strrchr(tail, '.');
    if (dot == nullptr || !all_of(dot + 1, "0123456789")) return false;
    const std::string head(tail, static_cast<std::size_t>(dot - tail));
    if (head.rfind("stale.", 0) == 0) return all_of(head.c_str() + 6, "0123456789");
    return all_of(head.c_str(), "0123456789abcdefghijklmnopqrstuvwxyz-");
}

// "<origin>.<pid>" under this process's origin, and no process with that ID
// exists: the second name of a session that died on this host, which nobody
// will ever use again (a contender's file carries a live process's ID).
bool dead_process_name(const char* tail) {
    const char* origin = process_origin();
    const std::size_t length = std::strlen(origin);
    if (length == 0 || std::strncmp(tail, origin, length) != 0 || tail[length] != '.' ||
        !all_of(tail + length + 1, "0123456789") || std::strlen(tail + length + 1) > 9)
        return false;
    const long pid = std::strtol(tail + length + 1, nullptr, 10);
    return pid > 0 && pid != ::getpid() && ::kill(static_cast<pid_t>(pid), 0) != 0 &&
           errno == ESRCH;
}

}  // namespace

void sweep_lock_leftovers(const char* path) {
    char lock_path[name_room];
    if (!lock_name(lock_path, sizeof lock_path, path)) return;
    const char* slash = std::strrchr(lock_path, '/');
    const std::string folder_path = folder_of(lock_path);
    const std::string prefix = std::string(slash == nullptr ? lock_path : slash + 1) + ".";
    const util::unique_fd folder(
        ::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) return;
    DIR* listing = ::fdopendir(::dup(folder.get()));
    if (listing == nullptr) return;
    // The lock as it is now: a dead session's lock still under the lock name
    // is for the next login to take over (which needs its second name).
    struct stat lock_st;
    const bool locked =
        ::fstatat(folder.get(), lock_path + (slash == nullptr ? 0 : slash + 1 - lock_path),
                  &lock_st, AT_SYMLINK_NOFOLLOW) == 0;
    struct leftover {
        std::string name;
        struct stat st;
        bool dead;  // the second name of a dead process of this host
    };
    std::vector<leftover> found;
    while (const dirent* entry = ::readdir(listing)) {
        if (found.size() >= most_leftovers) break;
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0 ||
            !leftover_name(entry->d_name + prefix.size()))
            continue;
        struct stat st;
        if (::fstatat(folder.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) ||
            (held.held && st.st_dev == held.device && st.st_ino == held.inode) ||
            (locked && same_file(st, lock_st)))
            continue;
        found.push_back({entry->d_name, st, dead_process_name(entry->d_name + prefix.size())});
    }
    ::closedir(listing);
    // A dead session's file goes under every name it has: a session killed
    // while it moved its lock aside leaves the second name and the aside
    // name linked to each other, neither of which has one link.
    auto of_dead_process = [&](const struct stat& st) {
        for (const leftover& other : found)
            if (other.dead && same_file(other.st, st)) return true;
        return false;
    };
    // The age rule takes a file once every name it has is a leftover: the
    // same two names left by a power cut come from an earlier boot, whose
    // processes the rule above cannot judge.
    auto names_found = [&](const struct stat& st) {
        nlink_t n = 0;
        for (const leftover& other : found) n += same_file(other.st, st) ? 1 : 0;
        return n;
    };
    const std::int64_t now = static_cast<std::int64_t>(detail::clock_now());
    for (const leftover& item : found) {
        const bool aged = names_found(item.st) == item.st.st_nlink &&
                          now - static_cast<std::int64_t>(item.st.st_ctime) > leftover_after;
        if (aged || of_dead_process(item.st)) (void)::unlinkat(folder.get(), item.name.c_str(), 0);
    }
}

bool holds_maildrop_lock(const char* path) {
    char lock_path[name_room];
    return lock_name(lock_path, sizeof lock_path, path) && still_ours(lock_path);
}

void refresh_maildrop_lock(const char* path) {
    detail::refresh_lock(path, false);
}

bool lock_stream(int fd) {
    for (;;) {
        if (detail::lockf_call(fd, F_LOCK, 0) == 0) return true;
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

    char lock_path[name_room];
    if (!lock_name(lock_path, sizeof lock_path, path)) return;
    // Only our own lock is renewed: one that another session took over after
    // ours lapsed, or any other file, is left alone. Writing our ID again
    // through our own descriptor renews the status-change time, also where
    // the file could not be handed to the account.
    if (!still_ours(lock_path)) return;
    char pid_text[30];
    const int pid_length = format_pid(pid_text, sizeof pid_text, ::getpid());
    (void)pwrite_all(held.fd, pid_text, static_cast<std::size_t>(pid_length), 0);
}

void forget_lock_refresh() {
    last_refresh = 0;
}

bool lock_stream_uninterrupted(int fd) {
    for (;;) {
        if (detail::lockf_call(fd, F_LOCK, 0) == 0) return true;
        if (errno != EINTR) return false;
    }
}

}  // namespace detail
}  // namespace tollmar::maildrop
