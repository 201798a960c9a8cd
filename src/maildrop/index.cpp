#include "maildrop/index.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "maildrop/chunk_reader.hpp"
#include "maildrop/content_blocks.hpp"
#include "maildrop/file_io.hpp"
#include "maildrop/framing.hpp"
#include "maildrop/index_file.hpp"
#include "maildrop/lock.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/scan_record.hpp"
#include "maildrop/unique_ids.hpp"
#include "util/log.hpp"
#include "util/unique_fd.hpp"

namespace tollmar::maildrop {

namespace {

// The least of the last indexed bytes a grown maildrop is checked on.
constexpr std::int64_t least_sample = 64 * 1024;
// A change time this close to the clock may be shared by a later write.
constexpr std::int64_t racy_window_ns = 100 * 1000 * 1000;
// The bytes a message start is judged on: one chunk.
char start_buffer[detail::chunk_limit];

void ignore(const char* path, const char* why) {
    util::log_line(LOG_WARNING, "%s: %s: %s", "ignoring maildrop index", path, why);
}

void log_write_failure(const char* path, int error) {
    util::log_line(LOG_ERR, "%s: %s: %s", "failed to write maildrop index", path,
                   std::strerror(error));
}

// The index under the journal's trust rules; -1 when there is none (or it
// was logged and is to be ignored).
int open_index(const char* index_path) {
    util::unique_fd fd(::open(index_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ELOOP)
            ignore(index_path, "it is a symbolic link");
        else if (errno != ENOENT)
            ignore(index_path, std::strerror(errno));
        return -1;
    }
    struct stat st;
    const char* reason = nullptr;
    if (::fstat(fd.get(), &st) != 0)
        reason = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        reason = "not a regular file";
    else if (st.st_uid != ::geteuid())
        reason = "not owned by the session's user";
    else if (st.st_nlink != 1)
        reason = "it has more than one link";
    else if ((st.st_mode & 077) != 0)
        reason = "group or other may access it";
    if (reason != nullptr) {
        ignore(index_path, reason);
        return -1;
    }
    return fd.release();
}

bool same_time(const struct stat& st, const detail::index_identity& id) {
    return st.st_ctim.tv_sec == id.ctime_sec && st.st_ctim.tv_nsec == id.ctime_nsec;
}

// Whether the block holding byte `end - 1` (and the one before it when that
// leaves fewer than least_sample bytes) still has its indexed digest.
bool sample_matches(int fd, std::int64_t end) {
    std::int64_t block = (end - 1) / detail::guard_block;
    const std::int64_t last = block;
    if (end - block * detail::guard_block < least_sample && block > 0) --block;
    for (; block <= last; ++block) {
        const std::int64_t from = block * detail::guard_block;
        const std::int64_t to = from + detail::guard_block < end ? from + detail::guard_block : end;
        unsigned char digest[detail::content_digest_size];
        if (!detail::digest_span(fd, from, to, digest) ||
            std::memcmp(digest, detail::block_digests()[block], sizeof digest) != 0)
            return false;
    }
    return true;
}

// Picks the running block up where the index ends: its bytes so far are
// digested again.
bool resume_blocks_at(int fd, std::int64_t end) {
    const std::int64_t kept = end / detail::guard_block;
    detail::blocks_resume(kept);
    std::int64_t at = kept * detail::guard_block;
    while (at < end) {
        const std::size_t n = end - at < static_cast<std::int64_t>(sizeof start_buffer)
                                  ? static_cast<std::size_t>(end - at)
                                  : sizeof start_buffer;
        if (detail::pread_full(fd, start_buffer, n, static_cast<off_t>(at)) !=
            static_cast<ssize_t>(n))
            return false;
        detail::blocks_add(start_buffer, n);
        at += static_cast<std::int64_t>(n);
    }
    return true;
}

// Why the index just read does not describe the maildrop `now`; nullptr
// when it does (the blocks then resume at its end).
const char* mismatch(int fd, const struct stat& now, const detail::index_identity& id) {
    // By the inode alone, as the journal names it: the device number differs
    // from one client mount of a shared file system to the next.
    if (static_cast<std::uint64_t>(now.st_ino) != id.inode) return "it is not this maildrop's";
    const auto length = static_cast<std::int64_t>(now.st_size);
    const bool unchanged = same_time(now, id) && length == id.length;
    if (!unchanged && length <= id.length) return "the maildrop changed since it was indexed";
    if (unchanged && (id.flags & detail::index_racy) != 0 && !detail::blocks_match(fd, id.indexed))
        return "the maildrop changed since it was indexed";
    if (length > id.indexed && id.indexed > 0 &&
        (!sample_matches(fd, id.indexed) || !message_starts_at(fd, id.indexed)))
        return "the maildrop changed since it was indexed";
    if (!resume_blocks_at(fd, id.indexed)) return std::strerror(errno);
    return nullptr;
}

// A leftover of ours under an earlier version's fixed temporary name goes;
// anything else under it stays.
void discard_old_temp_index(const char* temp_path) {
    struct stat st;
    if (::lstat(temp_path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
        st.st_nlink == 1)
        (void)::unlink(temp_path);
}

// The table from the index; its end, or 0 (table emptied) when it is of no use.
std::int64_t table_from_index(message_table& messages, int fd, const char* path,
                              const struct stat& now) {
    char index_path[PATH_MAX + 32];
    if (!detail::sibling_path(index_path, sizeof index_path, path, detail::index_suffix)) return 0;
    const util::unique_fd index(open_index(index_path));
    if (index.get() < 0) return 0;
    detail::index_identity id = {};
    const char* why = nullptr;
    if (!detail::read_index(messages, index.get(), id, &why)) {
        ignore(index_path, why);
        return 0;
    }
    why = mismatch(fd, now, id);
    // Only messages read after the index need the claims of those before;
    // an unchanged maildrop keeps the ids as the index has them.
    const bool grown = static_cast<std::int64_t>(now.st_size) > id.indexed;
    if (why == nullptr && grown && !detail::seed_unique_ids(messages)) why = "damaged";
    if (why != nullptr) {
        ignore(index_path, why);
        release_message_table(messages);
        return 0;
    }
    messages.index.identity = id;
    return id.indexed;
}

bool coarse_now_past(const struct timespec& then) {
    struct timespec now;
    if (::clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0) return false;
    const std::int64_t ns = (static_cast<std::int64_t>(now.tv_sec) - then.tv_sec) * 1000000000 +
                            (now.tv_nsec - then.tv_nsec);
    return ns >= racy_window_ns;
}

// The folder a path names a file in.
void folder_of(char (&folder)[PATH_MAX + 48], const char* path) {
    std::snprintf(folder, sizeof folder, "%s", path);
    char* slash = std::strrchr(folder, '/');
    if (slash == folder)
        slash[1] = '\0';
    else if (slash != nullptr)
        *slash = '\0';
    else
        std::snprintf(folder, sizeof folder, ".");
}

// "<path><infix><8 hex digits>", a name nobody can guess: nothing another
// user made in a shared folder can stand in the way of the index's
// temporary file.
void random_name(char (&out)[PATH_MAX + 48], const char* path, const char* infix) {
    unsigned random_part = 0;
    if (::getrandom(&random_part, sizeof random_part, 0) != sizeof random_part)
        random_part = static_cast<unsigned>(std::rand());
    std::snprintf(out, sizeof out, "%s%s%08x", path, infix, random_part);
}

// The temporary index, open for writing. Preferably a file without a name in
// the maildrop's folder (O_TMPFILE), named only once it is complete, so that
// a session killed while writing leaves nothing; on a file system without
// such files, a file under a unique name at once (*named).
int open_temp_index(const char* index_path, char (&temp_path)[PATH_MAX + 48], bool* named) {
    char folder[PATH_MAX + 48];
    folder_of(folder, index_path);
    *named = false;
    const int fd = ::open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    *named = true;
    for (int attempt = 0; attempt < 8; ++attempt) {
        random_name(temp_path, index_path, ".");
        const int made = ::open(
            temp_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (made >= 0 || errno != EEXIST) return made;
    }
    return -1;
}

// Gives the complete unnamed file a unique name beside the index.
bool name_temp_index(int fd, const char* index_path, char (&temp_path)[PATH_MAX + 48]) {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    for (int attempt = 0; attempt < 8; ++attempt) {
        random_name(temp_path, index_path, ".");
        if (::linkat(AT_FDCWD, self, AT_FDCWD, temp_path, AT_SYMLINK_FOLLOW) == 0) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

bool write_index_file(const message_table& messages, const char* path) {
    char index_path[PATH_MAX + 32];
    char old_temp_path[PATH_MAX + 32];
    if (!detail::sibling_path(index_path, sizeof index_path, path, detail::index_suffix) ||
        !detail::sibling_path(old_temp_path, sizeof old_temp_path, path,
                              detail::index_old_temp_suffix)) {
        log_write_failure(path, ENAMETOOLONG);
        return false;
    }
    discard_old_temp_index(old_temp_path);
    char temp_path[PATH_MAX + 48] = "";
    bool named = false;
    util::unique_fd fd(open_temp_index(index_path, temp_path, &named));
    if (fd.get() < 0) {
        log_write_failure(index_path, errno);
        return false;
    }
    bool ok =
        detail::write_index(messages, fd.get(), messages.index.identity) && ::fsync(fd.get()) == 0;
    if (ok && !named) ok = named = name_temp_index(fd.get(), index_path, temp_path);
    if (ok) ok = ::close(fd.release()) == 0;
    if (ok) ok = ::rename(temp_path, index_path) == 0;
    if (!ok) {
        log_write_failure(index_path, errno);
        if (named) (void)::unlink(temp_path);
    }
    return ok;
}

void set_identity(detail::index_identity& identity, const struct stat& st, std::int64_t indexed) {
    identity.device = static_cast<std::uint64_t>(st.st_dev);
    identity.inode = static_cast<std::uint64_t>(st.st_ino);
    identity.ctime_sec = st.st_ctim.tv_sec;
    identity.ctime_nsec = st.st_ctim.tv_nsec;
    identity.length = static_cast<std::int64_t>(st.st_size);
    identity.indexed = indexed;
    identity.flags = coarse_now_past(st.st_ctim) ? 0 : detail::index_racy;
}

}  // namespace

void set_aside_foreign_index(const char* path, uid_t uid) {
    char index_path[PATH_MAX + 32];
    char folder[PATH_MAX + 48];
    struct stat st;
    if (path == nullptr ||
        !detail::sibling_path(index_path, sizeof index_path, path, detail::index_suffix) ||
        ::lstat(index_path, &st) != 0 || st.st_uid == uid)
        return;
    folder_of(folder, index_path);
    if (::stat(folder, &st) != 0 || (st.st_mode & S_ISVTX) == 0) return;
    char aside[PATH_MAX + 48];
    random_name(aside, index_path, ".foreign-");
    if (::renameat2(AT_FDCWD, index_path, AT_FDCWD, aside, RENAME_NOREPLACE) != 0) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to move aside maildrop index", index_path,
                       std::strerror(errno));
        return;
    }
    util::log_line(LOG_WARNING, "%s: %s: %s %s", "moved aside maildrop index", index_path,
                   "not owned by the session's user; now", aside);
}

void write_index_at_end(message_table& messages, const char* path) {
    if (path == nullptr || !messages.in_place || !messages.index.noted || messages.index.current ||
        !messages.scan.valid || !holds_maildrop_lock(path))
        return;
    if (write_index_file(messages, path)) messages.index.current = true;
}

namespace detail {

std::int64_t index_load(message_table& messages, int fd, const char* path, const struct stat& now) {
    messages.index = {};
    begin_unique_ids();
    blocks_begin();
    const std::int64_t base = table_from_index(messages, fd, path, now);
    if (base > 0) return base;
    release_message_table(messages);
    messages.in_place = true;
    begin_unique_ids();
    blocks_begin();
    return 0;
}

void index_note_scan(message_table& messages, const struct stat& now, std::int64_t base,
                     std::int64_t scanned) {
    index_record& index = messages.index;
    // Read from the index and nothing added: it is already on disk.
    bool from_index = base > 0 && scanned == base && index.identity.indexed == base;
    // An index that had to be checked whole because its change time was
    // fresh is written again once that time has settled.
    if ((index.identity.flags & index_racy) != 0 && coarse_now_past(now.st_ctim))
        from_index = false;
    if (!from_index) set_identity(index.identity, now, scanned);
    index.current = from_index;
    index.noted = true;
}

void index_after_rewrite(message_table& messages, int fd, const char* path) {
    index_record& index = messages.index;
    if (!messages.in_place || !index.noted) return;
    index.current = false;
    std::int32_t kept = 0;
    std::int64_t at = 0;
    for (std::int32_t i = 0; i < messages.count; ++i) {
        message_entry entry = messages.entries[i];
        if (entry.deleted != 0) continue;
        entry.offset = at;
        at += entry.spool_length;
        messages.entries[kept++] = entry;
    }
    messages.count = kept;
    messages.scan.length = at;
    struct stat st;
    blocks_begin();
    const bool ok =
        ::fstat(fd, &st) == 0 && resettle_unique_ids(messages, fd) && blocks_of_range(fd, at);
    if (!ok) {
        index.noted = false;  // the table no longer matches its identity
        log_write_failure(path, errno != 0 ? errno : EIO);
        return;
    }
    set_identity(index.identity, st, at);
    if (write_index_file(messages, path)) index.current = true;
}

}  // namespace detail
}  // namespace tollmar::maildrop
