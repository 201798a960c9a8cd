#include <sys/wait.h>
#include <unistd.h>

#include <syslog.h>

#include <xxhash.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
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
            const bool scanned = in_place ? scan_maildrop_in_place(messages, mbox.c_str())
                                          : scan_maildrop(messages, mbox.c_str(), spool.c_str());
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
        ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
        const std::string got = read_file(mbox);
        EXPECT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected);
        EXPECT_FALSE(exists(mbox + ".tollmar-journal"));
        EXPECT_FALSE(exists(mbox + ".tollmar-journal.tmp"));
        std::string joined;
        for (const auto& m : scanned_messages()) joined += m.bytes;
        EXPECT_TRUE(joined == expected);
        remove_spool_files(messages);
        release_message_table(messages);
        remove_tree(spool);
        ASSERT_EQ(::mkdir(spool.c_str(), 0700), 0);
    }

    // The journal beside the maildrop is refused: the scan fails, the reason
    // is logged, and the maildrop and the journal stay as they were.
    void expect_refused(const std::string& maildrop, const std::string& reason) {
        const std::string journal = read_file(mbox + ".tollmar-journal");
        EXPECT_FALSE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
        EXPECT_TRUE(logged_containing(LOG_ERR, "failed to complete maildrop journal: " + mbox +
                                                   ".tollmar-journal: " + reason));
        EXPECT_EQ(read_file(mbox), maildrop);
        EXPECT_EQ(read_file(mbox + ".tollmar-journal"), journal);
    }
};

// Served in place, a session leaves an index behind; one killed at any step
// of its rewrite leaves none that the next session misreads: that session
// serves exactly the table a scan with spool copies makes of the maildrop.
std::vector<scanned_message> in_place_after_a_clean_session(const std::string& drop) {
    EXPECT_TRUE(lock_maildrop(drop.c_str(), ::geteuid(), ::getegid()));
    EXPECT_TRUE(scan_maildrop_in_place(messages, drop.c_str()));
    std::vector<scanned_message> table = scanned_messages();
    write_index_at_end(messages, drop.c_str());
    close_served_maildrop(messages);
    release_message_table(messages);
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
            ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
            EXPECT_TRUE(served == scanned_messages());
            remove_spool_files(messages);
            release_message_table(messages);
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

// Where a crash can leave an in-place rewrite: `written` bytes of the
// journal's content copied over the maildrop from base, and the maildrop
// perhaps cut to its new length already.
struct interruption {
    const char* name;
    std::size_t written;
    bool cut;
};

std::vector<interruption> interruptions(std::size_t part, std::size_t content_size) {
    return {{"nothing written yet", 0, false},
            {"part written", part, false},
            {"all written, not cut", content_size, false},
            {"cut", content_size, true}};
}

std::string interrupted(const std::string& original, std::size_t base, const std::string& content,
                        const interruption& at) {
    std::string on_disk = original;
    on_disk.replace(base, at.written, content.substr(0, at.written));
    if (at.cut) on_disk.resize(base + content.size());
    return on_disk;
}

TEST_F(CrashTest, JournalOfTheFormerFormIsCompletedOrRefused) {
    const std::string a = message('a', 3000), b = message('b', 2000), c3 = message('c', 4000);
    const std::string original = a + b + c3;
    const std::string result = b + c3;  // message 1 deleted
    const std::string after = message('f', 10);
    for (const interruption& c : interruptions(4000, result.size())) {
        SCOPED_TRACE(c.name);
        write_file(mbox, interrupted(original, 0, result, c) + after);
        write_file(mbox + ".tollmar-journal", former_journal(result, original, stat_of(mbox), 0));
        ASSERT_EQ(::chmod((mbox + ".tollmar-journal").c_str(), 0600), 0);
        expect_scanned(result + after);
    }

    // Its reserved field was always zero: anything else is not such a journal.
    logged.clear();
    write_file(mbox, original);
    write_file(mbox + ".tollmar-journal", former_journal(result, original, stat_of(mbox), 1));
    ASSERT_EQ(::chmod((mbox + ".tollmar-journal").c_str(), 0600), 0);
    expect_refused(original, "damaged journal");
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
    const auto journal_for = [&](std::uint64_t device, std::uint64_t inode) {
        return trailed_journal(c3, original, {'K', result.size(), device, inode, a.size()});
    };
    for (const interruption& c : interruptions(1000, c3.size())) {
        SCOPED_TRACE(c.name);
        write_file(mbox, interrupted(original, a.size(), c3, c) + after);
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
    expect_refused(original, "journal made for another file");
}

// A journal the previous release wrote, checked in as it made it
// (fixtures/previous-release.tollmar-journal: that release's code, with a
// session scanning a maildrop of three messages, a@x with 300 body bytes,
// b@x 200, c@x 400, deleting the second and killed once its journal was
// committed). A crash across the upgrade leaves it beside a maildrop at any
// point of the rewrite; each must be completed with nothing lost, mail
// delivered since kept. Only the inode it names is set to the test
// maildrop's (with its check value made right again). The trailer maker
// above gives the same bytes, so the tests that use it stand for that
// release's journals too.
std::string with_inode(std::string journal, std::uint64_t inode) {
    const std::size_t trailer_at = journal.size() - 64;
    std::memcpy(journal.data() + trailer_at + 40, &inode, sizeof inode);
    const std::uint64_t check = fnv(14695981039346656037ull, journal.substr(trailer_at, 56));
    std::memcpy(journal.data() + trailer_at + 56, &check, sizeof check);
    return journal;
}

TEST_F(CrashTest, JournalOfThePreviousReleaseIsCompletedAfterACrashMidRewrite) {
    const std::string made =
        read_file(TOLLMAR_TESTS_DIR "/maildrop/fixtures/previous-release.tollmar-journal");
    const std::string a = message('a', 300), b = message('b', 200), c3 = message('c', 400);
    const std::string original = a + b + c3;
    const std::string result = a + c3;
    ASSERT_EQ(made.size(), c3.size() + 64);
    std::uint64_t device = 0, inode = 0;
    std::memcpy(&device, made.data() + made.size() - 64 + 32, sizeof device);
    std::memcpy(&inode, made.data() + made.size() - 64 + 40, sizeof inode);
    EXPECT_TRUE(made ==
                trailed_journal(c3, original, {'K', result.size(), device, inode, a.size()}));

    const std::string after = message('f', 10);
    for (const interruption& c : interruptions(100, c3.size())) {
        SCOPED_TRACE(c.name);
        write_file(mbox, interrupted(original, a.size(), c3, c) + after);
        write_file(mbox + ".tollmar-journal",
                   with_inode(made, static_cast<std::uint64_t>(stat_of(mbox).st_ino)));
        ASSERT_EQ(::chmod((mbox + ".tollmar-journal").c_str(), 0600), 0);
        expect_scanned(result + after);
        EXPECT_TRUE(logged.empty());
    }
}

// The journal's header is checked in one place, which names each refusal;
// a refused journal fails the scan and stays, the maildrop as it was.
struct header_fields {
    std::string magic = "TLMRJRNL";
    std::uint32_t version = 1;
    std::uint32_t header_size = 64;
    std::uint64_t base, new_length, source_length, inode, cut_hash;
};

std::string le(std::uint64_t v, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
    return out;
}

std::string headed_journal(const header_fields& h, const std::string& content) {
    std::string header = h.magic + le(h.version, 4) + le(h.header_size, 4) + le(h.base, 8) +
                         le(h.new_length, 8) + le(h.source_length, 8) + le(h.inode, 8) +
                         le(h.cut_hash, 8);
    return header + le(XXH3_64bits(header.data(), header.size()), 8) + content;
}

TEST_F(CrashTest, JournalHeaderRefusalsAreNamedAndChangeNothing) {
    const std::string a = message('a', 300), b = message('b', 200), c3 = message('c', 400);
    const std::string original = a + b + c3;
    const std::string result = a + c3;
    const std::string cut = original.substr(result.size());
    struct refusal_case {
        const char* name;
        void (*spoil_fields)(header_fields&);  // before the header is sealed
        void (*spoil_bytes)(std::string&);     // of the sealed journal
        const char* refusal;                   // nullptr: completed
    };
    const refusal_case cases[] = {
        {"sound", nullptr, nullptr, nullptr},
        {"a later version", [](header_fields& h) { h.version = 2; }, nullptr,
         "journal of an unknown version"},
        {"a header of another size", [](header_fields& h) { h.header_size = 72; }, nullptr,
         "damaged journal: header of another size"},
        {"a bit flipped after sealing", nullptr, [](std::string& j) { j[40] ^= 1; },
         "damaged journal: header check does not match"},
        {"base past the new length", [](header_fields& h) { h.base = h.new_length + 1; }, nullptr,
         "damaged journal: base past the new length"},
        {"not shorter than its source", [](header_fields& h) { h.source_length = h.new_length; },
         nullptr, "damaged journal: new length not below the source length"},
        {"a byte more", nullptr, [](std::string& j) { j += 'x'; },
         "damaged journal: size does not match its lengths"},
        {"cut inside the header", nullptr, [](std::string& j) { j.resize(40); },
         "damaged journal: neither header nor trailer"},
    };
    for (const refusal_case& c : cases) {
        SCOPED_TRACE(c.name);
        logged.clear();
        write_file(mbox, original);
        header_fields h;
        h.base = a.size();
        h.new_length = result.size();
        h.source_length = original.size();
        h.inode = static_cast<std::uint64_t>(stat_of(mbox).st_ino);
        h.cut_hash = XXH3_64bits(cut.data(), cut.size());
        if (c.spoil_fields != nullptr) c.spoil_fields(h);
        std::string journal = headed_journal(h, c3);
        if (c.spoil_bytes != nullptr) c.spoil_bytes(journal);
        write_file(mbox + ".tollmar-journal", journal);
        ASSERT_EQ(::chmod((mbox + ".tollmar-journal").c_str(), 0600), 0);
        if (c.refusal == nullptr)
            expect_scanned(result);
        else
            expect_refused(original, c.refusal);
    }
}

}  // namespace
}  // namespace tollmar::test
