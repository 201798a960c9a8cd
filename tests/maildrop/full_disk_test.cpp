// Full file systems, made real with a tiny tmpfs mounted in a private mount
// namespace of a child process (needs root).
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "maildrop/lock.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/update.hpp"
#include "maildrop_fixture.hpp"

namespace tollmar::test {
namespace {

using namespace tollmar::maildrop;

// Runs body in a child with a tmpfs of `size` mounted on `where`; the child's
// own expectations decide its exit status.
template <typename Body>
void with_tiny_tmpfs(const std::string& where, const char* size, Body body) {
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string options = std::string("size=") + size;
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            std::perror("tmpfs");
            ::_exit(2);
        }
        body();
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

std::string part(char tag) {
    return std::string("From ") + tag + "@x\n\n" + std::string(60000, tag) + "\n\n";
}
std::string big_maildrop() {
    return part('a') + part('b') + part('c');
}

TEST_F(MaildropTest, FullSpoolFolderFailsTheScan) {
    const std::string text = big_maildrop();
    write_file(mbox, text);
    with_tiny_tmpfs(spool, "64k", [&] {
        EXPECT_FALSE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
        EXPECT_TRUE(logged_containing(LOG_ERR, "failed to write tmp file: " + spool));
        EXPECT_TRUE(logged_containing(LOG_ERR, "No space left on device"));
        remove_spool_files(messages);
        EXPECT_TRUE(list_folder(spool).empty());
        EXPECT_TRUE(read_file(mbox) == text);
    });
}

TEST_F(MaildropTest, FullMaildropFolderKeepsEveryMessage) {
    const std::string drop_folder = dir + "/drop";
    ASSERT_EQ(::mkdir(drop_folder.c_str(), 0700), 0);
    const std::string text = big_maildrop();
    with_tiny_tmpfs(drop_folder, "512k", [&] {
        const std::string drop = drop_folder + "/mbox";
        write_file(drop, text);
        ASSERT_TRUE(lock_maildrop(drop.c_str(), ::geteuid(), ::getegid()));
        // Fill what is left, so that no journal fits.
        write_file(drop_folder + "/filler", std::string(512 * 1024, 'f'));
        ASSERT_TRUE(scan_maildrop(messages, drop.c_str(), spool.c_str()));
        ASSERT_EQ(messages.count, 3);
        messages.entries[1].deleted = 1;
        update_holding_lock(drop);
        EXPECT_TRUE(read_file(drop) == text);
        EXPECT_TRUE(logged_containing(LOG_ERR, "failed to write maildrop journal: " + drop));
        EXPECT_TRUE(logged_containing(LOG_ERR, "No space left on device"));
        EXPECT_TRUE(logged_containing(LOG_ERR, "failed to write to maildrop: " + drop));
        EXPECT_FALSE(exists(drop + ".tollmar-journal.tmp"));
        EXPECT_FALSE(exists(drop + ".tollmar-journal"));
        // With room again, the same deletion goes through.
        ::unlink((drop_folder + "/filler").c_str());
        update_holding_lock(drop);
        EXPECT_TRUE(read_file(drop) == part('a') + part('c'));
        remove_spool_files(messages);
        unlock_maildrop(drop.c_str());
    });
}

}  // namespace
}  // namespace tollmar::test
