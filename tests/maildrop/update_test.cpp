#include <fcntl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <limits>
#include <vector>

#include "maildrop/lock.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/seams.hpp"
#include "maildrop/update.hpp"
#include "maildrop_fixture.hpp"

namespace tollmar::test {
namespace {

using namespace tollmar::maildrop;

const std::string m1 = "From a@x Mon Jan  1 00:00:00 2024\nSubject: one\n\nbody 1\n\n";
const std::string m2 = "From b@x Mon Jan  1 00:00:01 2024\r\nSubject: two\r\n\r\nbody 2\r\n\r\n";
const std::string m3 = "From c@x Mon Jan  1 00:00:02 2024\nSubject: three\n\nlast line";

class UpdateTest : public MaildropTest {
protected:
    // Scans the maildrop and marks the given 1-based message numbers deleted.
    void scan_and_delete(std::initializer_list<int> numbers) {
        ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
        for (int n : numbers) messages.entries[n - 1].deleted = 1;
    }
    void expect_no_journal() {
        EXPECT_FALSE(exists(mbox + ".tollmar-journal"));
        EXPECT_FALSE(exists(mbox + ".tollmar-journal.tmp"));
    }
};

TEST_F(UpdateTest, RewritesKeptMessagesInPlace) {
    struct update_case {
        const char* name;
        std::initializer_list<int> deleted;
        std::string expected;
    };
    const update_case cases[] = {
        {"second of three", {2}, m1 + m3},
        {"first of three", {1}, m2 + m3},
        {"last, without final line end", {3}, m1 + m2},
        {"all", {1, 2, 3}, ""},
        {"none", {}, m1 + m2 + m3},
    };
    for (const update_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(mbox, m1 + m2 + m3);
        const ino_t inode = stat_of(mbox).st_ino;
        scan_and_delete(c.deleted);
        update_holding_lock(mbox);
        EXPECT_EQ(read_file(mbox), c.expected);
        EXPECT_EQ(stat_of(mbox).st_ino, inode);  // rewritten in place, never replaced
        EXPECT_EQ(stat_of(mbox).st_mode & 07777, 0600u);
        expect_no_journal();
        remove_spool_files(messages);
    }
    EXPECT_TRUE(logged.empty());
}

TEST_F(UpdateTest, NothingDeletedLeavesTheMaildropUntouched) {
    write_file(mbox, m1 + m3);
    scan_and_delete({});
    const struct timespec old_times[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, mbox.c_str(), old_times, 0), 0);
    update_holding_lock(mbox);
    EXPECT_EQ(stat_of(mbox).st_mtime, 1000000);
    EXPECT_EQ(read_file(mbox), m1 + m3);
}

// Also where only trailing messages are deleted: the cut that is the whole
// rewrite without appended mail would lose it.
TEST_F(UpdateTest, MailAppendedAfterTheScanIsKeptInOrder) {
    const std::string late = "\nFrom late@x Tue Jan  2 00:00:00 2024\nSubject: late\n\nhi\n";
    struct deletion_case {
        int deleted;
        std::string kept;
    };
    const deletion_case cases[] = {{2, m1 + m3}, {3, m1 + m2}};
    for (const deletion_case& c : cases) {
        SCOPED_TRACE(c.deleted);
        write_file(mbox, m1 + m2 + m3);
        scan_and_delete({c.deleted});
        append_file(mbox, late);
        update_holding_lock(mbox);
        EXPECT_EQ(read_file(mbox), c.kept + late);
        expect_no_journal();
        remove_spool_files(messages);
    }
}

TEST_F(UpdateTest, ChangedMaildropIsNotRewritten) {
    struct change_case {
        const char* name;
        void (*change)(const std::string& mbox, const std::string& dir);
        const char* reason;
    };
    const change_case cases[] = {
        {"shorter", [](const std::string& m, const std::string&) { write_file(m, m1); },
         "shorter than when it was scanned"},
        {"replaced",
         [](const std::string& m, const std::string& d) {
             write_file(d + "/other", m1 + m2 + m3 + m1);
             ASSERT_EQ(::rename((d + "/other").c_str(), m.c_str()), 0);
         },
         "not the file that was scanned"},
        {"gone", [](const std::string& m, const std::string&) { ::unlink(m.c_str()); },
         "No such file or directory"},
    };
    for (const change_case& c : cases) {
        SCOPED_TRACE(c.name);
        logged.clear();
        write_file(mbox, m1 + m2 + m3);
        scan_and_delete({1});
        c.change(mbox, dir);
        const std::string before = exists(mbox) ? read_file(mbox) : "<none>";
        update_holding_lock(mbox);
        EXPECT_EQ(exists(mbox) ? read_file(mbox) : "<none>", before);
        EXPECT_TRUE(
            logged_containing(LOG_ERR, "failed to write to maildrop: " + mbox + ": " + c.reason));
        expect_no_journal();
        remove_spool_files(messages);
    }
}

// The rewrite copies the maildrop's own bytes, found unchanged since the
// scan, never the spool files: those sit in a folder others may reach, and a
// spoiled one must neither stop the rewrite nor get into the maildrop.
TEST_F(UpdateTest, SpoiledSpoolFileNeitherStopsNorEntersTheRewrite) {
    struct spool_case {
        const char* name;
        void (*spoil)(const char* spool_path);
    };
    const spool_case cases[] = {
        {"removed", [](const char* p) { ::unlink(p); }},
        {"recreated empty", [](const char* p) { write_file(p, ""); }},
        {"same length, other bytes",
         [](const char* p) { write_file(p, std::string(m3.size(), 'X')); }},
        {"replaced by a link",
         [](const char* p) {
             ::unlink(p);
             ASSERT_EQ(::symlink("/etc/passwd", p), 0);
         }},
    };
    for (const spool_case& c : cases) {
        SCOPED_TRACE(c.name);
        logged.clear();
        write_file(mbox, m1 + m2 + m3);
        scan_and_delete({2});
        c.spoil(spool_path(2).c_str());
        EXPECT_TRUE(update_holding_lock(mbox));
        EXPECT_EQ(read_file(mbox), m1 + m3);
        EXPECT_TRUE(logged.empty());
        expect_no_journal();
        remove_spool_files(messages);
    }
}

// Stand-ins for copy_file_range: the kernel copy may be missing, stop short
// or fail part way; the copy must then go on through the buffer.
ssize_t no_kernel_copy(int, off_t*, int, off_t*, size_t, unsigned int) {
    errno = ENOSYS;
    return -1;
}
ssize_t other_file_system(int, off_t*, int, off_t*, size_t, unsigned int) {
    errno = EXDEV;
    return -1;
}
int kernel_copies = 0;
ssize_t few_bytes_then_failing(int in, off_t* in_off, int out, off_t* out_off, size_t n,
                               unsigned int flags) {
    if (++kernel_copies % 3 == 0) {
        errno = EIO;
        return -1;
    }
    return ::copy_file_range(in, in_off, out, out_off, n < 7 ? n : 7, flags);
}

TEST_F(UpdateTest, EveryCopyPathGivesTheSameBytes) {
    struct copy_case {
        const char* name;
        ssize_t (*copy)(int, off_t*, int, off_t*, size_t, unsigned int);
    };
    const copy_case copies[] = {
        {"kernel copy", ::copy_file_range},
        {"no kernel copy", no_kernel_copy},
        {"another file system", other_file_system},
        {"short kernel copies failing part way", few_bytes_then_failing},
    };
    const std::string late = "From late@x Tue Jan  2 00:00:00 2024\n\nhi\n";
    struct delete_case {
        std::initializer_list<int> deleted;
        bool appended;
        std::string expected;
    };
    const delete_case deletes[] = {
        {{1}, false, m2 + m3},       {{2}, false, m1 + m3},     {{2}, true, m1 + m3 + late},
        {{3}, true, m1 + m2 + late}, {{1, 3}, true, m2 + late}, {{1, 2, 3}, true, late},
    };
    for (const copy_case& c : copies) {
        for (const delete_case& d : deletes) {
            SCOPED_TRACE(std::string(c.name) + ", " + d.expected.substr(0, 8));
            write_file(mbox, m1 + m2 + m3);
            scan_and_delete(d.deleted);
            if (d.appended) append_file(mbox, late);
            kernel_copies = 0;
            detail::copy_range_call = c.copy;
            EXPECT_TRUE(update_holding_lock(mbox));
            detail::copy_range_call = ::copy_file_range;
            EXPECT_TRUE(read_file(mbox) == d.expected);
            expect_no_journal();
            remove_spool_files(messages);
        }
    }
    EXPECT_TRUE(logged.empty());
}

// Where the rewrite writes: never into the maildrop before its first deleted
// message, and into the journal only what follows that message.
struct write_record {
    ino_t maildrop;
    off_t lowest_maildrop_write;
    long long journal_bytes;
};
write_record writes;
ssize_t recording_copy(int in, off_t* in_off, int out, off_t* out_off, size_t n,
                       unsigned int flags) {
    struct stat st;
    if (::fstat(out, &st) == 0 && st.st_ino == writes.maildrop) {
        if (*out_off < writes.lowest_maildrop_write) writes.lowest_maildrop_write = *out_off;
    } else {
        writes.journal_bytes += static_cast<long long>(n);
    }
    return ::copy_file_range(in, in_off, out, out_off, n, flags);
}

std::vector<detail::update_step> steps_seen;
void record_step(detail::update_step s) {
    steps_seen.push_back(s);
}

TEST_F(UpdateTest, OnlyTheBytesFromTheFirstDeletedMessageOnAreRewritten) {
    using step = detail::update_step;
    const std::string late = "From late@x Tue Jan  2 00:00:00 2024\n\nhi\n";
    const std::vector<step> journal_steps = {step::journal_written,    step::journal_committed,
                                             step::maildrop_block,     step::maildrop_rewritten,
                                             step::maildrop_truncated, step::journal_removed};
    struct rewrite_case {
        const char* name;
        std::initializer_list<int> deleted;
        bool appended;
        off_t lowest_write;  // into the maildrop; -1: none
        long long journal_bytes;
        std::vector<step> steps;
    };
    const off_t none = -1;
    const rewrite_case cases[] = {
        {"first", {1}, false, 0, static_cast<long long>((m2 + m3).size()), journal_steps},
        {"middle",
         {2},
         false,
         static_cast<off_t>(m1.size()),
         static_cast<long long>(m3.size()),
         journal_steps},
        {"last: a cut", {3}, false, none, 0, {step::maildrop_truncated}},
        {"last two: a cut", {2, 3}, false, none, 0, {step::maildrop_truncated}},
        {"last, mail appended",
         {3},
         true,
         static_cast<off_t>((m1 + m2).size()),
         static_cast<long long>(late.size()),
         journal_steps},
    };
    for (const rewrite_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(mbox, m1 + m2 + m3);
        scan_and_delete(c.deleted);
        if (c.appended) append_file(mbox, late);
        const off_t untouched = std::numeric_limits<off_t>::max();
        writes = {stat_of(mbox).st_ino, untouched, 0};
        steps_seen.clear();
        detail::copy_range_call = recording_copy;
        detail::on_update_step = record_step;
        EXPECT_TRUE(update_holding_lock(mbox));
        detail::copy_range_call = ::copy_file_range;
        detail::on_update_step = nullptr;
        EXPECT_EQ(writes.lowest_maildrop_write,
                  c.lowest_write == none ? untouched : c.lowest_write);
        EXPECT_EQ(writes.journal_bytes, c.journal_bytes);
        EXPECT_EQ(steps_seen, c.steps);
        expect_no_journal();
        remove_spool_files(messages);
    }
}

int preads_seen = 0;
ssize_t failing_pread(int fd, void* buf, size_t count, off_t offset) {
    if (++preads_seen == 2) {
        errno = EIO;
        return -1;
    }
    return ::pread(fd, buf, count, offset);
}
ssize_t failing_kernel_copy(int, off_t*, int, off_t*, size_t, unsigned int) {
    errno = EIO;
    return -1;
}

TEST_F(UpdateTest, ReadErrorOnTheMaildropAbortsTheUpdate) {
    struct read_case {
        const char* name;
        ssize_t (*copy)(int, off_t*, int, off_t*, size_t, unsigned int);
    };
    // The first pread takes the digest of the scanned bytes again; the kernel
    // copy of the kept messages fails or is unavailable, and the buffered
    // copy that takes over fails to read.
    const read_case cases[] = {
        {"kernel copy fails", failing_kernel_copy},
        {"no kernel copy", no_kernel_copy},
    };
    for (const read_case& c : cases) {
        SCOPED_TRACE(c.name);
        logged.clear();
        write_file(mbox, m1 + m2 + m3);
        scan_and_delete({1});
        preads_seen = 0;
        detail::pread_call = failing_pread;
        detail::copy_range_call = c.copy;
        EXPECT_FALSE(update_holding_lock(mbox));
        detail::pread_call = ::pread;
        detail::copy_range_call = ::copy_file_range;
        EXPECT_EQ(preads_seen, 2);
        EXPECT_EQ(read_file(mbox), m1 + m2 + m3);
        EXPECT_TRUE(logged_containing(LOG_ERR,
                                      "failed to read maildrop: " + mbox + ": Input/output error"));
        EXPECT_TRUE(logged_containing(LOG_ERR, "failed to write to maildrop: " + mbox));
        expect_no_journal();
        remove_spool_files(messages);
    }
}

TEST_F(UpdateTest, UnwritableJournalKeepsEveryMessage) {
    write_file(mbox, m1 + m2 + m3);
    scan_and_delete({1, 3});
    // A folder in the way of the temporary journal: it cannot be created.
    ASSERT_EQ(::mkdir((mbox + ".tollmar-journal.tmp").c_str(), 0700), 0);
    update_holding_lock(mbox);
    EXPECT_EQ(read_file(mbox), m1 + m2 + m3);
    EXPECT_TRUE(logged_containing(
        LOG_ERR, "failed to write maildrop journal: " + mbox + ".tollmar-journal.tmp"));
    EXPECT_TRUE(logged_containing(LOG_ERR, "failed to write to maildrop: " + mbox));
    EXPECT_FALSE(exists(mbox + ".tollmar-journal"));
}

TEST_F(UpdateTest, UpdateWithoutAScanChangesNothing) {
    write_file(mbox, m1 + m2);
    update_holding_lock(mbox);
    EXPECT_EQ(read_file(mbox), m1 + m2);
    EXPECT_TRUE(logged_containing(LOG_ERR, "failed to write to maildrop: " + mbox));
}

TEST_F(UpdateTest, LeftoverTemporaryJournalIsDiscardedByTheScan) {
    write_file(mbox, m1 + m2);
    write_file(mbox + ".tollmar-journal.tmp", "half a journal");
    ASSERT_EQ(::chmod((mbox + ".tollmar-journal.tmp").c_str(), 0600), 0);  // as we make them
    ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
    EXPECT_EQ(messages.count, 2);
    EXPECT_EQ(read_file(mbox), m1 + m2);
    expect_no_journal();
}

// Descriptors of this process that still hold drop's journal after its removal.
int held_removed_journals(const std::string& drop) {
    const std::string removed = drop + ".tollmar-journal (deleted)";
    int held = 0;
    for (const std::string& name : list_folder("/proc/self/fd")) {
        char target[PATH_MAX];
        const ssize_t n = ::readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == removed) ++held;
    }
    return held;
}

void die_at_commit(detail::update_step s) {
    if (s == detail::update_step::journal_committed) ::raise(SIGKILL);
}

// A removed journal is as large as the rewritten part of the maildrop, and
// its blocks are freed only at its last close: the scan that completes a
// journal left by a killed session closes it at once, the rewrite at QUIT
// keeps it only until the session releases it (after the unlock).
TEST_F(UpdateTest, RemovedJournalIsHeldOnlyUntilReleased) {
    write_file(mbox, m1 + m2 + m3);
    const pid_t child = ::fork();
    if (child == 0) {
        scan_and_delete({1});
        detail::on_update_step = die_at_commit;
        update_holding_lock(mbox);
        ::_exit(4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    ASSERT_TRUE(exists(mbox + ".tollmar-journal"));
    scan_and_delete({1});
    EXPECT_EQ(read_file(mbox), m2 + m3);  // the killed session's rewrite, completed
    EXPECT_EQ(held_removed_journals(mbox), 0);

    ASSERT_TRUE(update_holding_lock(mbox));
    EXPECT_EQ(read_file(mbox), m3);
    expect_no_journal();
    EXPECT_EQ(held_removed_journals(mbox), 1);
    release_removed_journal();
    EXPECT_EQ(held_removed_journals(mbox), 0);
    remove_spool_files(messages);
}

TEST_F(UpdateTest, DamagedJournalFailsTheScanAndIsKept) {
    write_file(mbox, m1 + m2);
    write_file(mbox + ".tollmar-journal", std::string(100, 'j'));
    ASSERT_EQ(::chmod((mbox + ".tollmar-journal").c_str(), 0600), 0);  // ours, but damaged
    EXPECT_FALSE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
    EXPECT_TRUE(logged_containing(LOG_ERR, "failed to complete maildrop journal: " + mbox +
                                               ".tollmar-journal: damaged journal"));
    EXPECT_EQ(read_file(mbox), m1 + m2);
    EXPECT_TRUE(exists(mbox + ".tollmar-journal"));
}

void die_after_a_block(detail::update_step s) {
    if (s == detail::update_step::maildrop_block) ::raise(SIGKILL);
}

// The header's own check covers its fields: a journal whose header changed
// after it was sealed (a bit flipped on the disk) is damaged, however sound
// each field looks. Here the session was killed half way through the copy
// over the maildrop, so only the journal can finish it; believed, the
// changed hash of the bytes to be cut would pass the rewrite for finished
// and the journal would go, leaving the maildrop torn.
TEST_F(UpdateTest, JournalChangedAfterItWasSealedIsDamaged) {
    write_file(mbox, m1 + m2 + m3);
    const pid_t child = ::fork();
    if (child == 0) {
        scan_and_delete({1});
        detail::on_update_step = die_after_a_block;
        update_holding_lock(mbox);
        ::_exit(4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    const std::string journal = mbox + ".tollmar-journal";
    std::string sealed = read_file(journal);
    const std::string torn = read_file(mbox);
    const std::string kept = m2 + m3;
    ASSERT_EQ(torn, kept + (m1 + m2 + m3).substr(kept.size()));  // copied, not yet cut
    // After the magic, version, header size, base, two lengths and the inode.
    constexpr std::size_t cut_hash_in_header = 48;
    sealed[cut_hash_in_header] ^= 1;
    write_file(journal, sealed);
    EXPECT_FALSE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
    EXPECT_TRUE(logged_containing(
        LOG_ERR, "failed to complete maildrop journal: " + journal + ": damaged journal"));
    EXPECT_EQ(read_file(mbox), torn);
    EXPECT_EQ(read_file(journal), sealed);  // kept for whoever repairs it
}

int failing_lockf(int, int, off_t) {
    errno = ENOLCK;
    return -1;
}

// Whatever makes the rewrite unsafe leaves every message where it was.
TEST_F(UpdateTest, NoRewriteWithoutOurLockUnchangedBytesAndTheStreamLock) {
    struct refusal {
        const char* name;
        void (*meddle)(const std::string& mbox);  // after the scan
        const char* reason;
    };
    const refusal cases[] = {
        // Same length, same file, one byte of a kept message changed: another
        // session rewrote it (or anyone did) since the scan.
        {"scanned bytes changed",
         [](const std::string& path) {
             const int fd = ::open(path.c_str(), O_WRONLY);
             ASSERT_EQ(::pwrite(fd, "X", 1, 40), 1);
             ::close(fd);
         },
         "scanned part changed since the scan"},
        {"lock removed", [](const std::string& path) { ::unlink((path + ".lock").c_str()); },
         "the dot-lock is no longer ours"},
        {"lock taken by another session",
         [](const std::string& path) {
             ::unlink((path + ".lock").c_str());
             write_file(path + ".lock", std::to_string(getpid()));
         },
         "the dot-lock is no longer ours"},
        {"stream lock fails", [](const std::string&) { detail::lockf_call = failing_lockf; },
         "the stream lock (lockf) failed"},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.name);
        logged.clear();
        write_file(mbox, m1 + m2 + m3);
        ASSERT_TRUE(lock_maildrop(mbox.c_str(), getuid(), getgid()));
        scan_and_delete({2});
        c.meddle(mbox);
        const std::string meddled = read_file(mbox);
        EXPECT_FALSE(update_maildrop(messages, mbox.c_str()));
        detail::lockf_call = ::lockf;
        EXPECT_EQ(read_file(mbox), meddled);
        EXPECT_TRUE(
            logged_containing(LOG_ERR, "failed to write to maildrop: " + mbox + ": " + c.reason));
        expect_no_journal();
        remove_spool_files(messages);
        unlock_maildrop(mbox.c_str());
        ::unlink((mbox + ".lock").c_str());
    }
}

TEST_F(UpdateTest, FailedStreamLockStopsTheScanBeforeAnyJournalReplay) {
    write_file(mbox, m1 + m2);
    write_file(mbox + ".tollmar-journal", std::string(100, 'j'));
    ASSERT_EQ(::chmod((mbox + ".tollmar-journal").c_str(), 0600), 0);
    detail::lockf_call = failing_lockf;
    EXPECT_FALSE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
    EXPECT_TRUE(logged_containing(LOG_ERR, "failed to lock maildrop stream: " + mbox));
    EXPECT_FALSE(logged_containing(LOG_ERR, "journal"));  // never looked at
    EXPECT_EQ(messages.count, 0);
    EXPECT_EQ(read_file(mbox), m1 + m2);
    EXPECT_TRUE(list_folder(spool).empty());
}

}  // namespace
}  // namespace tollmar::test
