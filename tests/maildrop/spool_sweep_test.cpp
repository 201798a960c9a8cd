#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "maildrop/origin.hpp"
#include "maildrop/scan.hpp"
#include "maildrop_fixture.hpp"

namespace tollmar::test {
namespace {

using tollmar::maildrop::origin_tag;
using tollmar::maildrop::sweep_dead_spool_files;

// The ID of a process that has ended (and been reaped).
pid_t dead_pid() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

std::string spool_name(pid_t pid, unsigned tag, const char* tail = "a1B2c3") {
    return ".tollmar_" + std::to_string(pid) + "_" + std::to_string(tag) + "_" + tail;
}

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(MaildropTest, SweepRemovesOnlyTheAccountsFilesOfDeadProcessesOfThisOrigin) {
    ASSERT_NE(origin_tag(), 0u);  // the test host has /proc
    const pid_t dead = dead_pid();
    const unsigned tag = origin_tag();
    struct leftover {
        std::string name;
        bool removed;
    };
    std::vector<leftover> cases = {
        {spool_name(dead, tag), true},
        {spool_name(dead, tag, "zzzzzz"), true},
        {spool_name(getpid(), tag), false},       // this live process
        {spool_name(getppid(), tag), false},      // another live process
        {spool_name(dead, tag + 1), false},       // another boot or container
        {spool_name(dead, tag, "a1B2c"), false},  // not mkstemp's six characters
        {spool_name(dead, tag, "a1B2c3d"), false},
        {spool_name(dead, tag, "a1-2c3"), false},
        {".tollmar_" + std::to_string(dead) + "x_" + std::to_string(tag) + "_a1B2c3", false},
        {".tollmar__" + std::to_string(tag) + "_a1B2c3", false},
        {".tollmar_0_" + std::to_string(tag) + "_a1B2c3", false},
        {".tollmar_99999999999_" + std::to_string(tag) + "_a1B2c3", false},
        {"tollmar_" + std::to_string(dead) + "_" + std::to_string(tag) + "_a1B2c3", false},
        {"unrelated", false},
    };
    for (const leftover& c : cases) write_file(spool + "/" + c.name, "From x\n");
    // A link, a folder and a file with a second name under a dead process's name.
    const std::string as_link = spool_name(dead, tag, "LINK00");
    ASSERT_EQ(::symlink((spool + "/unrelated").c_str(), (spool + "/" + as_link).c_str()), 0);
    const std::string as_folder = spool_name(dead, tag, "DIR000");
    ASSERT_EQ(::mkdir((spool + "/" + as_folder).c_str(), 0700), 0);
    const std::string linked = spool_name(dead, tag, "TWICE0");
    write_file(spool + "/" + linked, "x");
    ASSERT_EQ(::link((spool + "/" + linked).c_str(), (dir + "/elsewhere").c_str()), 0);
    cases.push_back({as_link, false});
    cases.push_back({as_folder, false});
    cases.push_back({linked, false});

    // Files of another owner stay: here every file is ours, so the sweep for
    // another account removes nothing.
    const std::vector<std::string> everything = sorted(list_folder(spool));
    EXPECT_EQ(sweep_dead_spool_files(spool.c_str(), getuid() + 1, 100), 0u);
    EXPECT_EQ(sorted(list_folder(spool)), everything);

    EXPECT_EQ(sweep_dead_spool_files(spool.c_str(), getuid(), 100), 2u);
    std::vector<std::string> kept;
    for (const leftover& c : cases)
        if (!c.removed) kept.push_back(c.name);
    EXPECT_EQ(sorted(list_folder(spool)), sorted(kept));
}

TEST_F(MaildropTest, SweepRemovesAtMostTheGivenNumberPerCall) {
    const pid_t dead = dead_pid();
    for (const char* tail : {"aaaaaa", "bbbbbb", "cccccc"})
        write_file(spool + "/" + spool_name(dead, origin_tag(), tail), "x");
    EXPECT_EQ(sweep_dead_spool_files(spool.c_str(), getuid(), 2), 2u);
    EXPECT_EQ(list_folder(spool).size(), 1u);
    EXPECT_EQ(sweep_dead_spool_files(spool.c_str(), getuid(), 2), 1u);
    EXPECT_TRUE(list_folder(spool).empty());
    EXPECT_EQ(sweep_dead_spool_files((dir + "/missing").c_str(), getuid(), 2), 0u);
}

}  // namespace
}  // namespace tollmar::test
