#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "maildrop/message_table.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/seams.hpp"
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

class CrashTest : public MaildropTest {
protected:
    // A session in a child process scans, deletes messages 1 and 3 (after
    // `during` was appended to the maildrop) and is killed at the given step.
    void killed_session(const crash_case& c, const std::string& during) {
        const pid_t child = ::fork();
        if (child == 0) {
            if (!scan_maildrop(mbox.c_str(), spool.c_str())) ::_exit(3);
            messages.entries[0].deleted = 1;
            messages.entries[2].deleted = 1;
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
};

TEST_F(CrashTest, NextScanFindsOriginalOrResultPlusAppendedMail) {
    // Big enough for several in-place blocks; message 2 is kept.
    const std::string a = message('a', 150000), b = message('b', 70000), c3 = message('c', 90000),
                      d = message('d', 1000);
    const std::string original = a + b + c3 + d;
    const std::string result = b + d;
    const std::string during = message('e', 500);
    const std::string small_after = message('f', 10);
    const std::string large_after = message('g', 300000);  // longer than the cut
    for (const crash_case& c : crash_cases) {
        for (const std::string* after : {&small_after, &large_after}) {
            SCOPED_TRACE(std::string(c.name) + (after == &small_after ? ", small" : ", large") +
                         " append after the crash");
            write_file(mbox, original);
            killed_session(c, during);
            append_file(mbox, *after);
            ASSERT_TRUE(scan_maildrop(mbox.c_str(), spool.c_str()));
            const std::string expected =
                (c.result_expected ? result + during : original + during) + *after;
            const std::string got = read_file(mbox);
            EXPECT_EQ(got.size(), expected.size());
            EXPECT_TRUE(got == expected);
            EXPECT_FALSE(exists(mbox + ".tollmar-journal"));
            EXPECT_FALSE(exists(mbox + ".tollmar-journal.tmp"));
            // The scan's table describes exactly what is in the maildrop now.
            std::string joined;
            for (const auto& m : scanned_messages()) joined += m.bytes;
            EXPECT_TRUE(joined == expected);
            remove_spool_files();
            release_message_table();
            remove_tree(spool);
            ASSERT_EQ(::mkdir(spool.c_str(), 0700), 0);
        }
    }
}

}  // namespace
}  // namespace tollmar::test
