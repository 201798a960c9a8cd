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
//    that other session made of the maildrop. Bytes past the scanned length
//    were appended since (by an agent that ignored or broke the dot-lock)
//    and are kept.
// 2. The bytes before the first deleted message stay where they are. When
//    only trailing messages are deleted and nothing was appended, cutting
//    the maildrop to the first deleted message is the whole rewrite (a
//    truncation survives a crash whole or not at all). Otherwise write the
//    new content from the first deleted message on - the kept messages
//    after it, copied from the maildrop's own checked bytes (in the kernel
//    where it can), then the appended bytes - to
//    "<maildrop>.tollmar-journal.tmp", with a header recording where that
//    content starts, the new length, the maildrop length it was made from
//    and a hash of the bytes the rewrite will cut away; fsync it, rename it
//    to "<maildrop>.tollmar-journal" and fsync the folder. Any failure up to
//    here leaves the maildrop untouched and removes the temporary file.
// 3. Copy the journal over the maildrop from its start offset, fsync, cut the
//    maildrop to the new length, fsync, unlink the journal and fsync the
//    folder. The unlinked journal stays open until release_removed_journal:
//    freeing its blocks is slow and need not hold up the unlock.
//
// Both copies start the disk writes piece by piece as they go, so that each
// fsync above waits only for what is left; that changes when the bytes reach
// the disk, never the order of the steps that make them count.
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

#include "maildrop/content_blocks.hpp"
#include "maildrop/content_digest.hpp"
#include "maildrop/file_io.hpp"
#include "maildrop/index.hpp"
#include "maildrop/journal.hpp"
#include "maildrop/lock.hpp"
#include "maildrop/lock_detail.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/scan_record.hpp"
#include "maildrop/seams.hpp"
#include "maildrop/served_maildrop.hpp"
#include "util/log.hpp"
#include "util/unique_fd.hpp"

namespace tollmar::maildrop {

namespace {

void keep_everything(const char* path, const char* reason) {
    util::log_line(LOG_ERR, "%s: %s: %s", "failed to write to maildrop", path, reason);
}

// Where the scanned messages sit in the maildrop: one after the other from
// offset 0, each as long as its spool file.
struct rewrite_plan {
    bool consistent;             // the table covers exactly the scanned bytes
    std::int64_t first_deleted;  // offset of the first deleted message; -1: none
    bool kept_after;             // a kept message follows the first deleted one
};

rewrite_plan plan_rewrite(const message_table& messages) {
    rewrite_plan plan = {false, -1, false};
    std::int64_t at = 0;
    for (std::int32_t i = 0; i < messages.count; ++i) {
        const message_entry& entry = messages.entries[i];
        if (entry.deleted != 0 && plan.first_deleted < 0) plan.first_deleted = at;
        if (entry.deleted == 0 && plan.first_deleted >= 0) plan.kept_after = true;
        at += entry.spool_length;
    }
    plan.consistent = at == messages.scan.length;
    return plan;
}

// Appends to the journal the kept messages from offset `from` of the
// maildrop on, each run of neighbouring kept messages in one copy. The
// maildrop's scanned bytes were just found unchanged (their digest), so they
// are the very bytes the scan put in the spool files, and copying them within
// one file system can stay in the kernel.
detail::copy_result journal_kept(const message_table& messages, detail::journal_writer& writer,
                                 int fd, std::int64_t from) {
    std::int64_t at = 0;
    std::int64_t run = -1;  // start of the current run of kept messages
    for (std::int32_t i = 0; i <= messages.count; ++i) {
        const bool kept = i < messages.count && messages.entries[i].deleted == 0;
        if (kept && run < 0 && at >= from) run = at;
        if (!kept && run >= 0) {
            const detail::copy_result copied = detail::journal_copy(writer, fd, run, at - run);
            if (copied != detail::copy_done) return copied;
            run = -1;
        }
        if (i < messages.count) at += messages.entries[i].spool_length;
    }
    return detail::copy_done;
}

// Writes and commits the journal for the open, stream-locked maildrop: the
// new content from `base` (the first deleted message) on.
// True when committed; false (logged, the maildrop untouched) otherwise.
bool write_journal(const message_table& messages, int fd, const char* path, std::int64_t base,
                   std::int64_t current) {
    char journal_path[PATH_MAX + 32];
    char temp_path[PATH_MAX + 32];
    if (!detail::sibling_path(journal_path, sizeof journal_path, path, detail::journal_suffix) ||
        !detail::sibling_path(temp_path, sizeof temp_path, path, detail::journal_temp_suffix)) {
        keep_everything(path, std::strerror(ENAMETOOLONG));
        return false;
    }
    detail::journal_writer writer;
    if (!detail::journal_create(writer, temp_path, base)) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to write maildrop journal", temp_path,
                       std::strerror(errno));
        keep_everything(path, "journal not written");
        return false;
    }
    detail::copy_result ok = journal_kept(messages, writer, fd, base);
    if (ok == detail::copy_done) {
        const std::int64_t tail = current - messages.scan.length;
        ok = detail::journal_copy(writer, fd, messages.scan.length, tail);
    }
    if (ok == detail::copy_read_failed)
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to read maildrop", path,
                       std::strerror(errno));
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

// Only trailing messages deleted and nothing appended: cutting the maildrop
// short is the whole rewrite. A truncation survives a crash whole or not at
// all, so it needs no journal.
bool cut_trailing(int fd, const char* path, std::int64_t length) {
    if (::ftruncate(fd, static_cast<off_t>(length)) != 0 || ::fsync(fd) != 0) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to write to maildrop", path,
                       std::strerror(errno));
        return false;
    }
    detail::step_reached(detail::update_step::maildrop_truncated);
    return true;
}

// Rewrites the checked, stream-locked maildrop of `current` bytes.
bool rewrite(const message_table& messages, int fd, const char* path, const rewrite_plan& plan,
             std::int64_t current) {
    if (!plan.kept_after && current == messages.scan.length)
        return cut_trailing(fd, path, plan.first_deleted);
    return write_journal(messages, fd, path, plan.first_deleted, current) &&
           detail::complete_journal(fd, path, true);
}

// Why the stream-locked maildrop must not be rewritten; nullptr when it may.
const char* unsafe_to_rewrite(const message_table& messages, int fd, const char* path,
                              struct stat* st) {
    if (!holds_maildrop_lock(path)) return "the dot-lock is no longer ours";
    if (::fstat(fd, st) != 0) return std::strerror(errno);
    if (st->st_size < static_cast<off_t>(messages.scan.length))
        return "shorter than when it was scanned";
    if (messages.in_place) {
        errno = 0;
        if (!detail::blocks_match(fd, messages.scan.length))
            return errno == 0 ? "scanned part changed since the scan"
                              : "scanned part could not be read again";
        if (!detail::deletions_fall_on_messages(messages, fd, messages.scan.length))
            return "no message where the scan found one";
        return nullptr;
    }
    unsigned char digest[detail::content_digest_size];
    if (!detail::digest_range(fd, messages.scan.length, digest))
        return "scanned part could not be read again";
    if (std::memcmp(digest, messages.scan.digest, sizeof digest) != 0)
        return "scanned part changed since the scan";
    return nullptr;
}

}  // namespace

bool update_maildrop(message_table& messages, const char* path) {
    if (path == nullptr) return false;
    if (!messages.scan.valid) {
        keep_everything(path, "no completed scan");
        return false;
    }
    const rewrite_plan plan = plan_rewrite(messages);
    // Nothing left out: the rewrite would reproduce the maildrop byte for byte.
    if (plan.first_deleted < 0) return true;
    if (!plan.consistent) {
        keep_everything(path, "message table does not match the scan");
        return false;
    }

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
    else if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_dev != messages.scan.device ||
             st.st_ino != messages.scan.inode)
        problem = "not the file that was scanned";
    bool done = false;
    if (problem == nullptr && !detail::lock_stream_uninterrupted(fd))
        problem = "the stream lock (lockf) failed";
    else if (problem == nullptr) {
        problem = unsafe_to_rewrite(messages, fd, path, &st);
        if (problem == nullptr)
            done = rewrite(messages, fd, path, plan, static_cast<std::int64_t>(st.st_size));
        if (done) detail::index_after_rewrite(messages, fd, path);
        (void)unlock_stream(fd);
    }
    if (problem != nullptr) keep_everything(path, problem);
    return done;
}

void release_removed_journal() {
    detail::close_removed_journal();
}

}  // namespace tollmar::maildrop
