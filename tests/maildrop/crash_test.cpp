#include <sys/wait.h>
#include <unistd.h>

#include <syslog.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "maildrop/index.hpp"
#include "maildrop/lock.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/seams.hpp"
#include "maildrop/served_maildrop.hpp"
#include "maildrop/update.hpp"
#include "maildrop_fixture.hpp"

namespace tollmar::test {
namespace {

using namespace tollmar::maildrop;
using step = detail::update_step;

step kill_at = step::journal_written;
int kill_on_occurrence = 1;
int occurrences = 0;
void kill_at_step(step s) {
    if (s == kill_at && ++occurrences == kill_on_occurrence) ::raise(SIGKILL);
}

std::string message(char tag, std::size_t body_bytes) {
    return std::string("From ") + tag + "@x Mon Jan  1 00:00:00 2024\n\n" +
           std::string(body_bytes, tag) + "\n\n";
}

struct crash_case {
    const char* name;
    step at;
    int occurrence;
    bool result_expected;  // the session's result (else the original maildrop)
};

const crash_case crash_cases[] = {
    {"temporary journal written", step::journal_written, 1, false},
    {"journal committed", step::journal_committed, 1, true},
    {"first block rewritten", step::maildrop_block, 1, true},
    {"second block rewritten", step::maildrop_block, 2, true},
    {"rewritten, not cut", step::maildrop_rewritten, 1, true},
    {"cut, journal still there", step::maildrop_truncated, 1, true},
    {"journal removed", step::journal_removed, 1, true},
};

// Which messages a session deletes and what arrives meanwhile decide how much
// is rewritten: from the first message (all of it), from the middle, only
// mail appended behind cut trailing messages, or nothing but a cut.
struct deletion {
    const char* name;
    std::vector<int> deleted;  // 0-based
    bool appended_during;
    bool journal;         // else the maildrop is only cut
    int in_place_blocks;  // blocks of the journal written into the maildrop
};

const deletion deletions[] = {
    {"first and third deleted", {0, 2}, true, true, 2},
    {"second deleted", {1}, true, true, 2},
    {"trailing deleted, mail appended", {2, 3}, true, true, 1},
    {"trailing deleted", {2, 3}, false, false, 0},
};

bool happens(const crash_case& c, const deletion& d) {
    if (!d.journal) return c.at == step::maildrop_truncated;
    return c.at != step::maildrop_block || c.occurrence <= d.in_place_blocks;
}

class CrashTest : public MaildropTest {
protected:
    // A session in a child process scans, deletes messages (after `during`
    // was appended to the maildrop) and is killed at the given step.
    void killed_session(const crash_case& c, const deletion& d, const std::string& during,
                        bool in_place = false) {
        const pid_t child = ::fork();
        if (child == 0) {
            const bool scanned = in_place ? scan_maildrop_in_place(mbox.c_str())
                                          : scan_maildrop(mbox.c_str(), spool.c_str());
            if (!scanned) ::_exit(3);
            for (int n : d.deleted) messages.entries[n].deleted = 1;
            append_file(mbox, during);
            kill_at = c.at;
            kill_on_occurrence = c.occurrence;
            occurrences = 0;
            detail::on_update_step = kill_at_step;
            update_holding_lock(mbox);
            ::_exit(4);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    }

    // The next scan finds `expected` in the maildrop, no journal, and a table
    // that describes exactly that; then the spool is emptied for the next case.
    void expect_scanned(const std::string& expected) {
        ASSERT_TRUE(scan_maildrop(mbox.c_str(), spool.c_str()));
        const std::string got = read_file(mbox);
        EXPECT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected);
        EXPECT_FALSE(exists(mbox + ".tollmar-journal"));
        EXPECT_FALSE(exists(mbox + ".tollmar-journal.tmp"));
        std::string joined;
        for (const auto& m : scanned_messages()) joined += m.bytes;
        EXPECT_TRUE(joined == expected);
        remove_spool_files();
        release_message_table();
        remove_tree(spool);
        ASSERT_EQ(::mkdir(spool.c_str(), 0700), 0);
    }
};

// Served in place, a session leaves an index behind; one killed at any step
// of its rewrite leaves none that the next session misreads: that session
// serves exactly the table a scan with spool copies makes of the maildrop.
std::vector<scanned_message> in_place_after_a_clean_session(const std::string& drop) {
    EXPECT_TRUE(lock_maildrop(drop.c_str(), ::geteuid(), ::getegid()));
    EXPECT_TRUE(scan_maildrop_in_place(drop.c_str()));
    std::vector<scanned_message> table = scanned_messages();
    write_index_at_end(drop.c_str());
    close_served_maildrop();
    release_message_table();
    unlock_maildrop(drop.c_str());
    return table;
}

TEST_F(CrashTest, InPlaceSessionAfterACrashServesWhatAScanFinds) {
    const std::string msgs[] = {message('a', 150000), message('b', 1100000), message('c', 1100000),
                                message('d', 1000)};
    const std::string original = msgs[0] + msgs[1] + msgs[2] + msgs[3];
    const std::string during = message('e', 500);
    const std::string after = message('f', 10);
    for (const deletion& d : deletions) {
        const std::string appended = d.appended_during ? during : "";
        for (const crash_case& c : crash_cases) {
            if (!happens(c, d)) continue;
            SCOPED_TRACE(std::string(d.name) + ", " + c.name);
            write_file(mbox, original);
            in_place_after_a_clean_session(mbox);  // the index of the original
            ASSERT_TRUE(exists(mbox + ".tollmar-index"));
            killed_session(c, d, appended, true);
            append_file(mbox, after);
            // The next session completes the journal, then takes what it can
            // from the index; the reference scan comes after, on the result.
            const std::vector<scanned_message> served = in_place_after_a_clean_session(mbox);
            ASSERT_TRUE(scan_maildrop(mbox.c_str(), spool.c_str()));
            EXPECT_TRUE(served == scanned_messages());
            remove_spool_files();
            release_message_table();
            // And the index that session left serves the same once more.
            EXPECT_TRUE(in_place_after_a_clean_session(mbox) == served);
        }
    }
}

TEST_F(CrashTest, NextScanFindsOriginalOrResultPlusAppendedMail) {
    // Kept runs longer than a block of the in-place copy (1 MiB), so that a
    // crash can fall between two blocks.
    const std::string msgs[] = {message('a', 150000), message('b', 1100000), message('c', 1100000),
                                message('d', 1000)};
    const std::string original = msgs[0] + msgs[1] + msgs[2] + msgs[3];
    const std::string during = message('e', 500);
    const std::string small_after = message('f', 10);
    const std::string large_after = message('g', 1300000);  // longer than any cut
    for (const deletion& d : deletions) {
        std::string result;
        for (int i = 0; i < 4; ++i)
            if (std::find(d.deleted.begin(), d.deleted.end(), i) == d.deleted.end())
                result += msgs[i];
        const std::string appended = d.appended_during ? during : "";
        for (const crash_case& c : crash_cases) {
            if (!happens(c, d)) continue;
            for (const std::string* after : {&small_after, &large_after}) {
                SCOPED_TRACE(std::string(d.name) + ", " + c.name +
                             (after == &small_after ? ", small" : ", large") +
                             " append after the crash");
                write_file(mbox, original);
                killed_session(c, d, appended);
                append_file(mbox, *after);
                expect_scanned((c.result_expected ? result : original) + appended + *after);
            }
        }
    }
}

// The journals of earlier releases: the new content from `base` on, then a
// trailer of raw host-order fields (magic, new length, source length, FNV-1a
// of the bytes the rewrite cuts away, the maildrop's device and inode, base,
// FNV-1a of all that). Magic "tollmarK"; the form written before rewrites
// started at the first deleted message, "tollmarJ", holds the whole new
// content and a zero where the base now is. Left by a crash before an
// upgrade, either must still be completed.
std::uint64_t fnv(std::uint64_t hash, const std::string& bytes) {
    for (unsigned char ch : bytes) {
        hash ^= ch;
        hash *= 1099511628211ull;
    }
    return hash;
}

struct trailer_fields {
    char form;  // the magic's last letter
    std::uint64_t new_length;
    std::uint64_t device;
    std::uint64_t inode;
    std::uint64_t base_field;
};

std::string trailed_journal(const std::string& content, const std::string& old_maildrop,
                            const trailer_fields& f) {
    std::uint64_t fields[7] = {f.new_length,
                               old_maildrop.size(),
                               fnv(14695981039346656037ull, old_maildrop.substr(f.new_length)),
                               f.device,
                               f.inode,
                               f.base_field,
                               0};
    std::string trailer = std::string("tollmar") + f.form;
    trailer.append(reinterpret_cast<const char*>(fields), 6 * sizeof fields[0]);
    fields[6] = fnv(14695981039346656037ull, trailer);
    trailer.append(reinterpret_cast<const char*>(&fields[6]), sizeof fields[6]);
    return content + trailer;
}

std::string former_journal(const std::string& content, const std::string& old_maildrop,
                           const struct stat& st, std::uint64_t base_field) {
    return trailed_journal(content, old_maildrop,
                           {'J', content.size(), static_cast<std::uint64_t>(st.st_dev),
                            static_cast<std::uint64_t>(st.st_ino), base_field});
}

TEST_F(CrashTest, JournalOfTheFormerFormIsCompletedOrRefused) {
    const std::string a = message('a', 3000), b = message('b', 2000), c3 = message('c', 4000);
    const std::string original = a + b + c3;
    const std::string result = b + c3;  // message 1 deleted
    const std::string after = message('f', 10);
    struct former_case {
        const char* name;
        std::size_t written;  // bytes of the result already written in place
        bool cut;             // and the maildrop cut to length
    };
    const former_case cases[] = {
        {"nothing written yet", 0, false},
        {"part written", 4000, false},
        {"all written, not cut", result.size(), false},
        {"cut", result.size(), true},
    };
    for (const former_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string on_disk = original;
        on_disk.replace(0, c.written, result.substr(0, c.written));
        if (c.cut) on_disk.resize(result.size());
        write_file(mbox, on_disk + after);
        write_file(mbox + ".tollmar-journal", former_journal(result, original, stat_of(mbox), 0));
        ASSERT_EQ(::chmod((mbox + ".tollmar-journal").c_str(), 0600), 0);
        expect_scanned(result + after);
    }

    // Its reserved field was always zero: anything else is not such a journal.
    logged.clear();
    write_file(mbox, original);
    write_file(mbox + ".tollmar-journal", former_journal(result, original, stat_of(mbox), 1));
    ASSERT_EQ(::chmod((mbox + ".tollmar-journal").c_str(), 0600), 0);
    EXPECT_FALSE(scan_maildrop(mbox.c_str(), spool.c_str()));
    EXPECT_TRUE(logged_containing(LOG_ERR, "failed to complete maildrop journal: " + mbox +
                                               ".tollmar-journal: damaged journal"));
    EXPECT_EQ(read_file(mbox), original);
    EXPECT_TRUE(exists(mbox + ".tollmar-journal"));
}

// A journal names its maildrop by the inode alone: on a network or FUSE file
// system every client mount has a device number of its own, and a remount
// changes it, so a rewrite that one host began must be completed by a login
// on another. The journal lies beside the maildrop, in its folder, so the
// inode within that file system is the maildrop's. A journal of another
// inode is still refused, whatever its device.
TEST_F(CrashTest, JournalIsCompletedThroughAnotherMountAndRefusedForAnotherInode) {
    const std::string a = message('a', 3000), b = message('b', 2000), c3 = message('c', 4000);
    const std::string original = a + b + c3;
    const std::string result = a + c3;  // message 2 deleted: rewritten from a's end
    const std::string after = message('f', 10);
    struct mount_case {
        const char* name;
        std::size_t written;  // bytes of the result from the base already written in place
        bool cut;
    };
    const mount_case cases[] = {
        {"nothing written yet", 0, false},
        {"part written", 1000, false},
        {"all written, not cut", c3.size(), false},
        {"cut", c3.size(), true},
    };
    const auto journal_for = [&](std::uint64_t device, std::uint64_t inode) {
        return trailed_journal(c3, original, {'K', result.size(), device, inode, a.size()});
    };
    for (const mount_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string on_disk = original;
        on_disk.replace(a.size(), c.written, c3.substr(0, c.written));
        if (c.cut) on_disk.resize(result.size());
        write_file(mbox, on_disk + after);
        const struct stat st = stat_of(mbox);
        write_file(mbox + ".tollmar-journal", journal_for(static_cast<std::uint64_t>(st.st_dev) + 1,
                                                          static_cast<std::uint64_t>(st.st_ino)));
        ASSERT_EQ(::chmod((mbox + ".tollmar-journal").c_str(), 0600), 0);
        expect_scanned(result + after);
    }

    logged.clear();
    write_file(mbox, original);
    const struct stat st = stat_of(mbox);
    write_file(mbox + ".tollmar-journal", journal_for(static_cast<std::uint64_t>(st.st_dev),
                                                      static_cast<std::uint64_t>(st.st_ino) + 1));
    ASSERT_EQ(::chmod((mbox + ".tollmar-journal").c_str(), 0600), 0);
    EXPECT_FALSE(scan_maildrop(mbox.c_str(), spool.c_str()));
    EXPECT_TRUE(logged_containing(LOG_ERR, "failed to complete maildrop journal: " + mbox +
                                               ".tollmar-journal: journal made for another file"));
    EXPECT_EQ(read_file(mbox), original);
    EXPECT_TRUE(exists(mbox + ".tollmar-journal"));
}

}  // namespace
}  // namespace tollmar::test
