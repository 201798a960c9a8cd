#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "auth/access_list.hpp"
#include "temp_dir.hpp"

namespace {

using tollmar::auth::user_listed;
using namespace std::string_literals;

class UserListed : public tollmar::test::TempDirTest {};

struct list_case {
    std::string content;
    const char* name;
    int expected;
};

TEST_F(UserListed, MatchesFirstWordOfEachLine) {
    const list_case cases[] = {
        {"", "alice", 0},
        {"alice\n", "alice", 1},
        {"alice", "alice", 0},  // last line without a line feed
        {"alice ", "alice", 1},
        {"alice\t", "alice", 1},
        {" \t  alice\n", "alice", 1},
        {"bob\ncarol\nalice\n", "alice", 1},
        {"# alice\n", "alice", 0},
        {"  \t#alice\n", "alice", 0},
        {"#alice\nalice\n", "alice", 1},
        {"alice # may not log in\n", "alice", 1},
        {"alicex\n", "alice", 0},
        {"alic\n", "alice", 0},
        {"bob alice\n", "alice", 0},  // only the first word counts
        {"Alice\n", "alice", 0},
        {"alice\r\n", "alice", 0},  // CR is an ordinary character
        {"alice \r\n", "alice", 1},
        {"bob\r\nalice\r\n", "alice", 0},
        {"alice\r", "alice", 0},
        {"bob\0alice\n"s, "alice", 0},  // a NUL ends the list
        {"alice\0\n"s, "alice", 0},
        {"\0alice\n"s, "alice", 0},
        {"#x\n", "#x", 0},
        {"\n", "", 1},  // the empty name and an empty line
        {" \t\n", "", 1},
        {"bob\n", "", 0},
        {"", "", 0},
        {"#\n", "", 0},
        {"   ", "", 0},
        {"\xff\xfe alice\n", "alice", 0},
        {"\xff\xfe\n", "\xff\xfe", 1},
    };
    for (const auto& c : cases) {
        const std::string path = write_file("list", c.content);
        EXPECT_EQ(user_listed(c.name, path.c_str()), c.expected)
            << "name \"" << c.name << "\" in \"" << c.content << '"';
    }
}

TEST_F(UserListed, MissingArgumentsAreErrors) {
    const std::string path = write_file("list", "alice\n");
    EXPECT_EQ(user_listed(nullptr, path.c_str()), tollmar::auth::list_unreadable);
    EXPECT_EQ(user_listed("alice", nullptr), tollmar::auth::list_unreadable);
}

TEST_F(UserListed, MissingFileIsAnErrorThatTellsItsCause) {
    errno = 0;
    EXPECT_EQ(user_listed("alice", path_of("absent").c_str()), tollmar::auth::list_unreadable);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(UserListed, UnreadableFilesAreErrors) {
    // A directory opens but cannot be read.
    errno = 0;
    EXPECT_EQ(user_listed("alice", dir_.c_str()), tollmar::auth::list_unreadable);
    EXPECT_NE(errno, ENOENT);

    // A FIFO without a writer must neither hang nor count as a list.
    const std::string fifo = path_of("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(user_listed("alice", fifo.c_str()), tollmar::auth::list_unreadable);
}

TEST_F(UserListed, LargeListIsReadWhole) {
    std::string content;
    while (content.size() < (1u << 20)) content += "user" + std::to_string(content.size()) + "\n";
    const std::string path = write_file("list", content + "alice\n");
    EXPECT_EQ(user_listed("alice", path.c_str()), tollmar::auth::name_listed);
    EXPECT_EQ(user_listed("alicia", path.c_str()), tollmar::auth::name_not_listed);
    EXPECT_EQ(user_listed("user0", path.c_str()), tollmar::auth::name_listed);
}

TEST_F(UserListed, RefusesFilesTooLargeToBeAList) {
    const std::string path = write_file("list", "alice\n");
    ASSERT_EQ(truncate(path.c_str(), 17 << 20), 0);
    EXPECT_EQ(user_listed("alice", path.c_str()), tollmar::auth::list_unreadable);
    ASSERT_EQ(truncate(path.c_str(), 16 << 20), 0);
    EXPECT_EQ(user_listed("alice", path.c_str()), tollmar::auth::name_listed);
}

}  // namespace
