#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>

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
        ASSERT_TRUE(scan_maildrop(mbox.c_str(), spool.c_str()));
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
        remove_spool_files();
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

TEST_F(UpdateTest, MailAppendedAfterTheScanIsKeptInOrder) {
    write_file(mbox, m1 + m2 + m3);
    scan_and_delete({2});
    const std::string late = "\nFrom late@x Tue Jan  2 00:00:00 2024\nSubject: late\n\nhi\n";
    append_file(mbox, late);
    update_holding_lock(mbox);
    EXPECT_EQ(read_file(mbox), m1 + m3 + late);
    expect_no_journal();
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
        remove_spool_files();
    }
}

TEST_F(UpdateTest, UnusableSpoolFileAbortsTheUpdate) {
    struct spool_case {
        const char* name;
        void (*spoil)(const char* spool_path);
        const char* logged;
    };
    const spool_case cases[] = {
        {"removed", [](const char* p) { ::unlink(p); }, "Failed to open tmp file `"},
        {"recreated empty", [](const char* p) { write_file(p, ""); }, "unusable tmp file: "},
        {"cut short", [](const char* p) { ASSERT_EQ(::truncate(p, 3), 0); }, "unusable tmp file: "},
        {"replaced by a link",
         [](const char* p) {
             ::unlink(p);
             ASSERT_EQ(::symlink("/etc/passwd", p), 0);
         },
         "Failed to open tmp file `"},
    };
    for (const spool_case& c : cases) {
        SCOPED_TRACE(c.name);
        logged.clear();
        write_file(mbox, m1 + m2 + m3);
        scan_and_delete({2});
        c.spoil(messages.entries[2].spool_path);
        update_holding_lock(mbox);
        EXPECT_EQ(read_file(mbox), m1 + m2 + m3);
        EXPECT_TRUE(logged_containing(LOG_ERR, c.logged));
        EXPECT_TRUE(logged_containing(LOG_ERR, "failed to write to maildrop: " + mbox));
        expect_no_journal();
        remove_spool_files();
    }
}

int preads_seen = 0;
ssize_t failing_pread(int fd, void* buf, size_t count, off_t offset) {
    if (++preads_seen == 3) {
        errno = EIO;
        return -1;
    }
    return ::pread(fd, buf, count, offset);
}

TEST_F(UpdateTest, ReadErrorOnASpoolFileAbortsTheUpdate) {
    write_file(mbox, m1 + m2 + m3);
    scan_and_delete({1});
    preads_seen = 0;
    // The first read takes the digest of the scanned bytes again, the second
    // reads the first kept spool file; the third, of the next one, fails.
    detail::pread_call = failing_pread;
    update_holding_lock(mbox);
    detail::pread_call = ::pread;
    EXPECT_EQ(preads_seen, 3);
    EXPECT_EQ(read_file(mbox), m1 + m2 + m3);
    EXPECT_TRUE(logged_containing(LOG_ERR, std::string("failed to read tmp file: ") +
                                               messages.entries[2].spool_path +
                                               ": Input/output error"));
    expect_no_journal();
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
    ASSERT_TRUE(scan_maildrop(mbox.c_str(), spool.c_str()));
    EXPECT_EQ(messages.count, 2);
    EXPECT_EQ(read_file(mbox), m1 + m2);
    expect_no_journal();
}

TEST_F(UpdateTest, DamagedJournalFailsTheScanAndIsKept) {
    write_file(mbox, m1 + m2);
    write_file(mbox + ".tollmar-journal", std::string(100, 'j'));
    ASSERT_EQ(::chmod((mbox + ".tollmar-journal").c_str(), 0600), 0);  // ours, but damaged
    EXPECT_FALSE(scan_maildrop(mbox.c_str(), spool.c_str()));
    EXPECT_TRUE(logged_containing(LOG_ERR, "failed to complete maildrop journal: " + mbox +
                                               ".tollmar-journal: damaged journal"));
    EXPECT_EQ(read_file(mbox), m1 + m2);
    EXPECT_TRUE(exists(mbox + ".tollmar-journal"));
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
        EXPECT_FALSE(update_maildrop(mbox.c_str()));
        detail::lockf_call = ::lockf;
        EXPECT_EQ(read_file(mbox), meddled);
        EXPECT_TRUE(
            logged_containing(LOG_ERR, "failed to write to maildrop: " + mbox + ": " + c.reason));
        expect_no_journal();
        remove_spool_files();
        unlock_maildrop(mbox.c_str());
        ::unlink((mbox + ".lock").c_str());
    }
}

TEST_F(UpdateTest, FailedStreamLockStopsTheScanBeforeAnyJournalReplay) {
    write_file(mbox, m1 + m2);
    write_file(mbox + ".tollmar-journal", std::string(100, 'j'));
    ASSERT_EQ(::chmod((mbox + ".tollmar-journal").c_str(), 0600), 0);
    detail::lockf_call = failing_lockf;
    EXPECT_FALSE(scan_maildrop(mbox.c_str(), spool.c_str()));
    EXPECT_TRUE(logged_containing(LOG_ERR, "failed to lock maildrop stream: " + mbox));
    EXPECT_FALSE(logged_containing(LOG_ERR, "journal"));  // never looked at
    EXPECT_EQ(messages.count, 0);
    EXPECT_EQ(read_file(mbox), m1 + m2);
    EXPECT_TRUE(list_folder(spool).empty());
}

}  // namespace
}  // namespace tollmar::test
