#include "session/confinement.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tollmar::session {
namespace {

constexpr std::uint64_t write_file = 1ULL << 1;
constexpr std::uint64_t read_file = 1ULL << 2;
constexpr std::uint64_t read_dir = 1ULL << 3;
constexpr std::uint64_t remove_dir = 1ULL << 4;
constexpr std::uint64_t remove_file = 1ULL << 5;
constexpr std::uint64_t make_reg = 1ULL << 8;
constexpr std::uint64_t refer = 1ULL << 13;
constexpr std::uint64_t truncate = 1ULL << 14;
constexpr std::uint64_t ioctl_dev = 1ULL << 15;

TEST(ConfinementPlan, AsksOnlyForRightsTheKernelsAbiKnows) {
    // A right the kernel does not know makes it refuse the whole rule set.
    struct {
        int abi;
        std::uint64_t handled_fs, handled_net, scoped;
    } cases[] = {
        {1, (1ULL << 13) - 1, 0, 0}, {2, (1ULL << 14) - 1, 0, 0}, {3, (1ULL << 15) - 1, 0, 0},
        {4, (1ULL << 15) - 1, 3, 0}, {5, (1ULL << 16) - 1, 3, 0}, {6, (1ULL << 16) - 1, 3, 1},
        {7, (1ULL << 16) - 1, 3, 1},
    };
    for (const auto& c : cases) {
        confinement_plan plan;
        ASSERT_TRUE(plan_confinement(c.abi, "/var/mail/alice", "/var/tmp", "/var/tmp/s/1", plan));
        EXPECT_EQ(plan.handled_fs, c.handled_fs) << "ABI " << c.abi;
        EXPECT_EQ(plan.handled_net, c.handled_net) << "ABI " << c.abi;
        EXPECT_EQ(plan.scoped, c.scoped) << "ABI " << c.abi;
        for (int i = 0; i < plan.count; ++i)
            EXPECT_EQ(plan.rules[i].access & ~plan.handled_fs, 0u) << "ABI " << c.abi;
    }
    confinement_plan plan;
    ASSERT_TRUE(plan_confinement(2, "/var/mail/alice", nullptr, nullptr, plan));
    EXPECT_EQ(plan.rules[0].access & truncate, 0u);
    ASSERT_TRUE(plan_confinement(5, "/var/mail/alice", nullptr, nullptr, plan));
    EXPECT_EQ(plan.rules[0].access & (ioctl_dev | refer), 0u);
}

TEST(ConfinementPlan, GrantsTheMaildropsFolderAndTheSpoolFolderOnly) {
    constexpr std::uint64_t files =
        read_file | write_file | truncate | make_reg | remove_file | read_dir;
    struct {
        const char *maildrop, *spool_folder, *folder;
        int count;
    } cases[] = {
        {"/var/mail/alice", "/var/tmp/.tollmar-1000-x/42", "/var/mail", 3},
        {"/home/alice/mbox", nullptr, "/home/alice", 1},  // served in place
        {"/mbox", nullptr, "/", 1},
        {"mbox", nullptr, ".", 1},
    };
    for (const auto& c : cases) {
        confinement_plan plan;
        ASSERT_TRUE(plan_confinement(7, c.maildrop, "/var/tmp", c.spool_folder, plan));
        ASSERT_EQ(plan.count, c.count) << c.maildrop;
        EXPECT_STREQ(plan.rules[0].path, c.folder);
        EXPECT_EQ(plan.rules[0].access, files);
        if (c.count == 1) continue;
        EXPECT_STREQ(plan.rules[1].path, c.spool_folder);
        EXPECT_EQ(plan.rules[1].access, files);
        // The spool root: only the sweep of dead sessions' folders.
        EXPECT_STREQ(plan.rules[2].path, "/var/tmp");
        EXPECT_EQ(plan.rules[2].access, read_dir | remove_file | remove_dir);
    }
}

TEST(ConfinementPlan, RefusesAMaildropFolderThatDoesNotFit) {
    const std::string path = "/" + std::string(5000, 'a') + "/mbox";
    confinement_plan plan;
    EXPECT_FALSE(plan_confinement(7, path.c_str(), nullptr, nullptr, plan));
}

}  // namespace
}  // namespace tollmar::session
