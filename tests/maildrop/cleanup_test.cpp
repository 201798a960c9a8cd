#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "maildrop/lock.hpp"
#include "maildrop/mailbox.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/seams.hpp"
#include "maildrop/table_growth.hpp"
#include "maildrop/update.hpp"
#include "maildrop_fixture.hpp"
#include "util/log.hpp"
#include "util/signals.hpp"

namespace tollmar::test {
namespace {

using namespace tollmar::maildrop;

const std::string three = "From a\nx\nFrom b\ny\nFrom c\nz\n";

TEST_F(MaildropTest, CleanupRunsOnceAndSparesALaterLock) {
    write_file(mbox, three);
    mailbox box{};
    name_mailbox(box, mbox.c_str());
    ASSERT_TRUE(lock_mailbox(box, 0, 0));
    ASSERT_TRUE(scan_mailbox(box, spool.c_str()));
    EXPECT_EQ(list_folder(spool).size(), 3u);
    close_mailbox(box);
    EXPECT_TRUE(list_folder(spool).empty());
    EXPECT_FALSE(exists(mbox + ".lock"));
    EXPECT_EQ(message_count(box), 0);
    EXPECT_FALSE(box.locked);
    EXPECT_STREQ(box.path, "");
    // Another session locks the maildrop; a second run must leave it alone.
    write_file(mbox + ".lock", "424242");
    close_mailbox(box);
    EXPECT_EQ(read_file(mbox + ".lock"), "424242");
    EXPECT_EQ(read_file(mbox), three);
}

// The table names its files by a prefix and a short tail per entry: clean-up
// must remove exactly those, never the prefix alone for an entry without a
// file, nor anything else that starts like them.
TEST_F(MaildropTest, CleanupRemovesTheTableFilesAndNothingElse) {
    write_file(mbox, three);
    ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
    const std::string prefix = messages.spool_prefix;
    const std::string without_file = spool_path(1);
    // Entry 1 as a failed mkstemp leaves it: no name, though a file exists.
    std::memset(messages.entries[1].spool_name, 0, sizeof messages.entries[1].spool_name);
    const std::string decoys[] = {prefix, prefix + "XXXXXX", prefix + "a", without_file,
                                  spool + "/other"};
    std::vector<std::string> expected;
    for (const std::string& decoy : decoys) {
        write_file(decoy, "not the table's");
        expected.push_back(decoy.substr(spool.size() + 1));
    }
    remove_spool_files(messages);
    std::vector<std::string> left = list_folder(spool);
    std::sort(expected.begin(), expected.end());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, expected);
}

// The prefix was made by the scanning process; a clean-up after a fork runs
// under another pid and must still find the files.
TEST_F(MaildropTest, CleanupAfterAForkRemovesTheScansFiles) {
    write_file(mbox, three);
    ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
    ASSERT_EQ(list_folder(spool).size(), 3u);
    const pid_t child = ::fork();
    if (child == 0) {
        remove_spool_files(messages);
        ::_exit(0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(list_folder(spool).empty());
}

// A path that would not fit is refused whole: cut at the buffer's end it
// would name another file (here one planted under that cut name).
TEST_F(MaildropTest, SpoolPathThatDoesNotFitIsNeitherBuiltNorUnlinked) {
    struct fit_case {
        const char* name;
        std::size_t prefix_length;
        bool fits;
    };
    const std::string tail = "abcdef";
    const fit_case cases[] = {
        {"last byte left for the NUL", spool_path_capacity - 1 - tail.size(), true},
        {"one byte over", spool_path_capacity - tail.size(), false},
        {"prefix fills its buffer, as a cut one does", spool_path_capacity - 1, false},
    };
    for (const fit_case& c : cases) {
        SCOPED_TRACE(c.name);
        release_message_table(messages);
        const std::string prefix =
            spool + "/" + std::string(c.prefix_length - spool.size() - 1, 'p');
        std::snprintf(messages.spool_prefix, sizeof messages.spool_prefix, "%s", prefix.c_str());
        message_entry* entry = detail::append_entry(messages);
        ASSERT_NE(entry, nullptr);
        detail::set_spool_name(*entry, tail.c_str());
        const std::string whole = prefix + tail;
        const std::string cut = whole.substr(0, spool_path_capacity - 1);
        write_file(cut, c.fits ? "ours" : "somebody else's");

        char path[spool_path_capacity];
        std::memset(path, 'x', sizeof path);
        EXPECT_EQ(spool_path_of(messages, *entry, path), c.fits);
        EXPECT_EQ(std::string(path), c.fits ? whole : "");
        remove_spool_files(messages);
        EXPECT_EQ(exists(cut), !c.fits);
        if (exists(cut)) {
            ASSERT_EQ(::unlink(cut.c_str()), 0);
        }
    }
}

// Child-side: each logged line goes to this descriptor for the parent.
int log_pipe = -1;
void log_to_pipe(int priority, const char* line) {
    const std::string text = std::to_string(priority) + " " + line + "\n";
    if (::write(log_pipe, text.data(), text.size()) < 0) ::_exit(9);
}

std::string lock_of_another_session;
void another_session_locks() {
    write_file(lock_of_another_session, "424242");
}

// The child's mailbox, named and locked by session_child; the at-exit hook
// closes it.
mailbox child_box{};

// Runs a session body in a child whose mailbox the at-exit hook closes;
// returns its exit status and what it logged.
template <typename Body>
std::pair<int, std::string> session_child(const std::string& mbox, Body body) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        log_pipe = fds[1];
        tollmar::util::log_observer = log_to_pipe;
        name_mailbox(child_box, mbox.c_str());
        if (!lock_mailbox(child_box, 0, 0)) ::_exit(7);
        hold_for_exit(&child_box);
        std::atexit(close_held_mailbox);
        body();
        ::_exit(8);
    }
    ::close(fds[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST_F(MaildropTest, BrokenPipeRemovesLockAndSpoolFilesAndKeepsTheMaildrop) {
    write_file(mbox, three);
    lock_of_another_session = mbox + ".lock";
    const auto [status, log] = session_child(mbox, [&] {
        if (!scan_mailbox(child_box, spool.c_str())) ::_exit(6);
        child_box.messages.entries[1].deleted = 1;
        // Runs before close_held_mailbox (registered earlier), after the pipe
        // handler gave the lock up: a lock taken meanwhile must survive.
        std::atexit(another_session_locks);
        tollmar::util::set_broken_pipe_action(on_broken_pipe);
        tollmar::util::record_signal(SIGPIPE);
        tollmar::util::act_on_pending_signals();
    });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(log, std::to_string(LOG_INFO) + " caught signal: 13\n");
    EXPECT_TRUE(list_folder(spool).empty());
    EXPECT_EQ(read_file(mbox + ".lock"), "424242");
    EXPECT_EQ(read_file(mbox), three);
}

TEST_F(MaildropTest, TerminationSignalDuringTheScanCleansUp) {
    std::string big;
    for (int i = 0; i < 50; ++i)
        big += "From " + std::to_string(i) + "\n" + std::string(70000, 'q') + "\n";
    write_file(mbox, big);
    const auto [status, log] = session_child(mbox, [&] {
        tollmar::util::record_signal(SIGTERM);
        scan_mailbox(child_box, spool.c_str());  // acts on the signal between blocks
        ::_exit(5);
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(log, "");
    EXPECT_TRUE(list_folder(spool).empty());
    EXPECT_FALSE(exists(mbox + ".lock"));
    EXPECT_TRUE(read_file(mbox) == big);
}

}  // namespace
}  // namespace tollmar::test
