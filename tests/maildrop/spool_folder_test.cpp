#include "maildrop/spool_folder.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "maildrop/message_table.hpp"
#include "maildrop/origin.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/update.hpp"
#include "maildrop_fixture.hpp"

namespace tollmar::test {
namespace {

using namespace tollmar::maildrop;

// The ID of a process that has ended (and been reaped).
pid_t dead_pid() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

class SpoolFolderTest : public MaildropTest {
protected:
    std::string account_name() const {
        return ".tollmar-" + std::to_string(::geteuid()) + "-" + std::to_string(origin_tag());
    }
    std::string account() const { return spool + "/" + account_name(); }
    // A folder a session left: its name in the account folder, with a file.
    void leave(const std::string& name) {
        ASSERT_EQ(::mkdir((account() + "/" + name).c_str(), 0700), 0) << name;
        write_file(account() + "/" + name + "/.tollmar_1_2_abcdef", "From x\n");
    }
};

TEST_F(SpoolFolderTest, SessionFilesLiveInAPrivateFolderThatLeavesWithThem) {
    write_file(mbox, "From a\nx\nFrom b\ny\n");
    ASSERT_EQ(::chmod(spool.c_str(), 01777), 0);
    const char* folder = make_session_spool_folder(spool.c_str());
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(std::string(folder), account() + "/" + std::to_string(::getpid()));
    for (const std::string& path : {account(), std::string(folder)}) {
        const struct stat st = stat_of(path);
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << path;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << path;
        EXPECT_EQ(st.st_uid, ::geteuid()) << path;
    }
    ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), folder));
    // The root holds the account folder alone; the files keep their names.
    EXPECT_EQ(list_folder(spool), std::vector<std::string>{account_name()});
    const std::string prefix =
        ".tollmar_" + std::to_string(::getpid()) + "_" + std::to_string(origin_tag()) + "_";
    const std::vector<std::string> files = list_folder(folder);
    ASSERT_EQ(files.size(), 2u);
    for (const std::string& name : files) EXPECT_EQ(name.rfind(prefix, 0), 0u) << name;

    remove_spool_files(messages);
    release_message_table(messages);
    remove_session_spool_folder();
    EXPECT_TRUE(list_folder(spool).empty());
    remove_session_spool_folder();  // a second run finds nothing to do
}

TEST_F(SpoolFolderTest, WhatIsLeftInTheFolderGoesWithIt) {
    // A file the table does not name (made by the account behind our back).
    const char* folder = make_session_spool_folder(spool.c_str());
    ASSERT_NE(folder, nullptr);
    write_file(std::string(folder) + "/stray", "x");
    remove_session_spool_folder();
    EXPECT_TRUE(list_folder(spool).empty());
}

TEST_F(SpoolFolderTest, AnAccountFolderOpenedUpByItsOwnerIsClosedAgain) {
    ASSERT_EQ(::mkdir(account().c_str(), 0755), 0);
    ASSERT_NE(make_session_spool_folder(spool.c_str()), nullptr);
    EXPECT_EQ(stat_of(account()).st_mode & 07777, 0700u);
}

TEST_F(SpoolFolderTest, ALeftoverUnderOurOwnPidIsMovedAsideAndSweptAtTheEnd) {
    ASSERT_EQ(::mkdir(account().c_str(), 0700), 0);
    leave(std::to_string(::getpid()));
    const char* folder = make_session_spool_folder(spool.c_str());
    ASSERT_NE(folder, nullptr);
    EXPECT_TRUE(list_folder(folder).empty());
    EXPECT_EQ(list_folder(account()).size(), 2u);
    remove_session_spool_folder();
    EXPECT_TRUE(list_folder(spool).empty());
}

TEST_F(SpoolFolderTest, TheSweepRemovesOnlyFoldersOfDeadSessions) {
    ASSERT_NE(origin_tag(), 0u);  // the test host has /proc
    const std::string dead = std::to_string(dead_pid());
    const std::string live = std::to_string(::getppid());
    ASSERT_EQ(::mkdir(account().c_str(), 0700), 0);
    struct leftover {
        std::string name;
        bool removed;
    };
    const std::vector<leftover> cases = {
        {dead, true},
        {dead + ".0a1b2c3d", true},  // moved aside as dead
        {live, false},
        {std::to_string(::getpid()), false},  // this process
        {live + ".0a1b2c3d", true},           // aside: dead whatever its pid now names
        {dead + ".", false},
        {dead + ".XYZ", false},
        {dead + "x", false},
        {"0", false},
        {"99999999999", false},
        {"junk", false},
    };
    for (const leftover& c : cases) leave(c.name);
    // A dead session's name on a file, and a dead folder holding a folder
    // (which no session makes): left as they are.
    const std::string file_name = std::to_string(dead_pid());
    write_file(account() + "/" + file_name, "x");
    const std::string nested = std::to_string(dead_pid());
    leave(nested);
    ASSERT_EQ(::mkdir((account() + "/" + nested + "/sub").c_str(), 0700), 0);
    // Another origin's and another account's folders are never looked at.
    const std::string other_tag =
        ".tollmar-" + std::to_string(::geteuid()) + "-" + std::to_string(origin_tag() + 1);
    const std::string other_user =
        ".tollmar-" + std::to_string(::geteuid() + 1) + "-" + std::to_string(origin_tag());
    for (const std::string& name : {other_tag, other_user}) {
        ASSERT_EQ(::mkdir((spool + "/" + name).c_str(), 0700), 0);
        ASSERT_EQ(::mkdir((spool + "/" + name + "/" + dead).c_str(), 0700), 0);
    }

    EXPECT_EQ(sweep_dead_session_folders(spool.c_str(), ::geteuid() + 2), 0u);
    EXPECT_EQ(sweep_dead_session_folders(spool.c_str(), ::geteuid()), 3u);
    std::vector<std::string> kept = {file_name, nested};
    for (const leftover& c : cases)
        if (!c.removed) kept.push_back(c.name);
    EXPECT_EQ(sorted(list_folder(account())), sorted(kept));
    EXPECT_EQ(list_folder(account() + "/" + nested), std::vector<std::string>{"sub"});
    EXPECT_EQ(list_folder(spool + "/" + other_tag), std::vector<std::string>{dead});
    EXPECT_EQ(list_folder(spool + "/" + other_user), std::vector<std::string>{dead});
}

TEST_F(SpoolFolderTest, TheAccountFolderStaysWhileASessionOfTheAccountLives) {
    ASSERT_EQ(::mkdir(account().c_str(), 0700), 0);
    leave(std::to_string(::getppid()));
    leave(std::to_string(dead_pid()));
    ASSERT_NE(make_session_spool_folder(spool.c_str()), nullptr);
    remove_session_spool_folder();
    EXPECT_EQ(list_folder(account()), std::vector<std::string>{std::to_string(::getppid())});
    // Once it is gone, the next sweep takes the account folder too.
    ASSERT_EQ(::rename((account() + "/" + std::to_string(::getppid())).c_str(),
                       (account() + "/" + std::to_string(dead_pid())).c_str()),
              0);
    EXPECT_EQ(sweep_dead_session_folders(spool.c_str(), ::geteuid()), 1u);
    EXPECT_TRUE(list_folder(spool).empty());
}

TEST_F(SpoolFolderTest, AnAccountFolderNameHeldByAnythingElseGetsAFolderBesideIt) {
    // A link to a folder the account could write to, and a plain file: the
    // session never works through either.
    const std::string elsewhere = dir + "/elsewhere";
    ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
    for (bool as_link : {true, false}) {
        if (as_link) {
            ASSERT_EQ(::symlink(elsewhere.c_str(), account().c_str()), 0);
        } else {
            write_file(account(), "planted");
        }
        logged.clear();
        const char* folder = make_session_spool_folder(spool.c_str());
        ASSERT_NE(folder, nullptr);
        const std::string path = folder;
        EXPECT_EQ(path.rfind(account() + "-", 0), 0u) << path;
        EXPECT_EQ(stat_of(path).st_mode & 07777, 0700u);
        EXPECT_TRUE(logged_containing(
            LOG_WARNING, "spool folder " + account() + " is not the account's; using " + path));
        remove_session_spool_folder();
        EXPECT_EQ(list_folder(spool), std::vector<std::string>{account_name()});
        EXPECT_TRUE(list_folder(elsewhere).empty());
        ASSERT_EQ(::unlink(account().c_str()), 0);
    }
}

TEST_F(SpoolFolderTest, ARootItCannotWriteToFailsWithALogLine) {
    const std::string missing = dir + "/missing";
    EXPECT_EQ(make_session_spool_folder(missing.c_str()), nullptr);
    EXPECT_TRUE(logged_containing(LOG_ERR, "failed to make spool folder: " + missing));
    const std::string long_root = "/" + std::string(250, 'x');
    EXPECT_EQ(make_session_spool_folder(long_root.c_str()), nullptr);
    EXPECT_TRUE(logged_containing(LOG_ERR, "File name too long"));
    remove_session_spool_folder();  // nothing was made: nothing to do
}

}  // namespace
}  // namespace tollmar::test
