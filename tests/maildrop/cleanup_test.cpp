#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "maildrop/lock.hpp"
#include "maildrop/maildrop_path.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/seams.hpp"
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
    remember_maildrop_path(mbox.c_str());
    ASSERT_EQ(lock_maildrop(mbox.c_str(), 0, 0), 1);
    ASSERT_TRUE(scan_maildrop(mbox.c_str(), spool.c_str()));
    EXPECT_EQ(list_folder(spool).size(), 3u);
    cleanup_at_exit();
    EXPECT_TRUE(list_folder(spool).empty());
    EXPECT_FALSE(exists(mbox + ".lock"));
    EXPECT_EQ(messages.count, 0);
    EXPECT_EQ(maildrop_path(), nullptr);
    // Another session locks the maildrop; a second run must leave it alone.
    write_file(mbox + ".lock", "424242");
    cleanup_at_exit();
    EXPECT_EQ(read_file(mbox + ".lock"), "424242");
    EXPECT_EQ(read_file(mbox), three);
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

// Runs a session body in a child with cleanup_at_exit registered; returns its
// exit status and what it logged.
template <typename Body>
std::pair<int, std::string> session_child(const std::string& mbox, Body body) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        log_pipe = fds[1];
        tollmar::util::log_observer = log_to_pipe;
        remember_maildrop_path(mbox.c_str());
        if (lock_maildrop(mbox.c_str(), 0, 0) != 1) ::_exit(7);
        std::atexit(cleanup_at_exit);
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
        if (!scan_maildrop(mbox.c_str(), spool.c_str())) ::_exit(6);
        messages.entries[1].deleted = 1;
        // Runs before cleanup_at_exit (registered earlier), after the pipe
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
        scan_maildrop(mbox.c_str(), spool.c_str());  // acts on the signal between blocks
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
