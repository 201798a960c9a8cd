// Writing the maildrop back at QUIT without ever losing or tearing mail.
//
// The maildrop is rewritten in place, never replaced by a rename: delivery
// agents that honour only lockf may hold it open and wait on the stream lock
// meanwhile, and must find their descriptor still naming the maildrop.
//
// 1. Under the stream lock, check that the dot-lock is still this session's
//    (the very file it took, holding its process ID), that the maildrop is
//    still the file that was scanned, not shorter than the scan saw it, and
//    that the scanned bytes are unchanged (their digest, taken during the
//    scan, is taken again); otherwise log and keep it as it is. A session
//    whose lock lapsed and was taken by another must not write over what
//    that other session made of the maildrop. Bytes past the scanned length were appended since (by
//    an agent that ignored or broke the dot-lock) and are kept.
// 2. Write the new content - the kept spool files, then the appended bytes -
//    to "<maildrop>.tollmar-journal.tmp", with a trailer recording the new
//    length, the maildrop length it was made from and a hash of the bytes the
//    rewrite will cut away; fsync it, rename it to "<maildrop>.tollmar-journal"
//    and fsync the folder. Any failure up to here leaves the maildrop
//    untouched and removes the temporary file.
// 3. Copy the journal over the start of the maildrop, fsync, cut the maildrop
//    to the new length, fsync, unlink the journal and fsync the folder.
//
// A crash (or a failed write) in step 3 leaves the journal behind. The next
// scan of that maildrop, which runs under the dot-lock, completes it before
// reading: if the bytes to be cut away are still there the cut has not
// happened - anything past the recorded length was appended since, is folded
// into a new journal and the copy is redone; otherwise the cut is done and
// everything past the new length was appended since. A leftover temporary
// journal is simply removed. So after any failure the maildrop is, at the
// latest once the next session holds the dot-lock, either exactly as it was
// or exactly this session's result followed by the mail appended since.
// Recorded termination signals are not acted upon during the rewrite.
#include "maildrop/update.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "maildrop/content_digest.hpp"
#include "maildrop/file_io.hpp"
#include "maildrop/journal.hpp"
#include "maildrop/lock.hpp"
#include "maildrop/lock_detail.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/scan_record.hpp"
#include "maildrop/seams.hpp"
#include "util/log.hpp"
#include "util/unique_fd.hpp"

namespace tollmar::maildrop {

namespace {

void keep_everything(const char* path, const char* reason) {
    util::log_line(LOG_ERR, "%s: %s: %s", "failed to write to maildrop", path, reason);
}

bool anything_deleted() {
    for (std::int32_t i = 0; i < messages.count; ++i)
        if (messages.entries[i].deleted != 0) return true;
    return false;
}

// Appends one kept message to the journal from its spool file, which must be
// ours and exactly as long as the scan wrote it. copy_read_failed: the spool
// file is unusable (logged here).
detail::copy_result journal_message(detail::journal_writer& writer, const message_entry& entry) {
    const util::unique_fd spool(
        ::open(entry.spool_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const int fd = spool.get();
    if (fd < 0) {
        util::log_line(LOG_ERR, "Failed to open tmp file `%s': %s", entry.spool_path,
                       std::strerror(errno));
        return detail::copy_read_failed;
    }
    struct stat st;
    const char* problem = nullptr;
    if (::fstat(fd, &st) != 0)
        problem = std::strerror(errno);
    else if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
        problem = "not our tmp file";
    else if (st.st_size != static_cast<off_t>(entry.spool_length))
        problem = "length changed since the scan";
    if (problem != nullptr) {
        util::log_line(LOG_ERR, "%s: %s: %s", "unusable tmp file", entry.spool_path, problem);
        return detail::copy_read_failed;
    }
    const detail::copy_result copied = detail::journal_copy(writer, fd, 0, entry.spool_length);
    if (copied == detail::copy_read_failed) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to read tmp file", entry.spool_path,
                       std::strerror(errno));
        return detail::copy_read_failed;
    }
    return copied;
}

// Writes and commits the journal for the open, stream-locked maildrop.
// True when committed; false (logged, the maildrop untouched) otherwise.
bool write_journal(int fd, const char* path, std::int64_t current) {
    char journal_path[PATH_MAX + 32];
    char temp_path[PATH_MAX + 32];
    if (!detail::sibling_path(journal_path, sizeof journal_path, path, detail::journal_suffix) ||
        !detail::sibling_path(temp_path, sizeof temp_path, path, detail::journal_temp_suffix)) {
        keep_everything(path, std::strerror(ENAMETOOLONG));
        return false;
    }
    detail::journal_writer writer;
    if (!detail::journal_create(writer, temp_path)) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to write maildrop journal", temp_path,
                       std::strerror(errno));
        keep_everything(path, "journal not written");
        return false;
    }
    detail::copy_result ok = detail::copy_done;
    for (std::int32_t i = 0; ok == detail::copy_done && i < messages.count; ++i)
        if (messages.entries[i].deleted == 0) ok = journal_message(writer, messages.entries[i]);
    if (ok == detail::copy_done) {
        const std::int64_t tail = current - detail::last_scan.length;
        ok = detail::journal_copy(writer, fd, detail::last_scan.length, tail);
        if (ok == detail::copy_read_failed)
            util::log_line(LOG_ERR, "%s: %s: %s", "failed to read maildrop", path,
                           std::strerror(errno));
    }
    if (ok == detail::copy_done && !detail::journal_seal(writer, fd, current))
        ok = detail::copy_write_failed;
    if (ok == detail::copy_write_failed)
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to write maildrop journal", temp_path,
                       std::strerror(errno));
    if (ok != detail::copy_done) {
        detail::journal_abandon(writer, temp_path);
        keep_everything(path, "journal not written");
        return false;
    }
    if (!detail::journal_commit(temp_path, journal_path)) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to write maildrop journal", journal_path,
                       std::strerror(errno));
        keep_everything(path, "journal not written");
        return false;
    }
    return true;
}

// Why the stream-locked maildrop must not be rewritten; nullptr when it may.
const char* unsafe_to_rewrite(int fd, const char* path, struct stat* st) {
    if (!holds_maildrop_lock(path)) return "the dot-lock is no longer ours";
    if (::fstat(fd, st) != 0) return std::strerror(errno);
    if (st->st_size < static_cast<off_t>(detail::last_scan.length))
        return "shorter than when it was scanned";
    unsigned char digest[detail::content_digest_size];
    if (!detail::digest_range(fd, detail::last_scan.length, digest))
        return "scanned part could not be read again";
    if (std::memcmp(digest, detail::last_scan.digest, sizeof digest) != 0)
        return "scanned part changed since the scan";
    return nullptr;
}

}  // namespace

bool update_maildrop(const char* path) {
    if (path == nullptr) return false;
    if (!detail::last_scan.valid) {
        keep_everything(path, "no completed scan");
        return false;
    }
    // Nothing left out: the rewrite would reproduce the maildrop byte for byte.
    if (!anything_deleted()) return true;

    const util::unique_fd maildrop(::open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const int fd = maildrop.get();
    if (fd < 0) {
        keep_everything(path, std::strerror(errno));
        return false;
    }
    struct stat st;
    const char* problem = nullptr;
    if (::fstat(fd, &st) != 0)
        problem = std::strerror(errno);
    else if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_dev != detail::last_scan.device ||
             st.st_ino != detail::last_scan.inode)
        problem = "not the file that was scanned";
    bool done = false;
    if (problem == nullptr && !detail::lock_stream_uninterrupted(fd))
        problem = "the stream lock (lockf) failed";
    else if (problem == nullptr) {
        problem = unsafe_to_rewrite(fd, path, &st);
        if (problem == nullptr && write_journal(fd, path, static_cast<std::int64_t>(st.st_size)))
            done = detail::complete_journal(fd, path);
        (void)unlock_stream(fd);
    }
    if (problem != nullptr) keep_everything(path, problem);
    return done;
}

}  // namespace tollmar::maildrop
