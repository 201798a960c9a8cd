// The shared table under every limit: its repair step after a holder died,
// and the reuse of keyed entries.
#include "util/shared_table.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "support/killed_holder.hpp"

namespace {

using namespace tollmar::util;

struct entry {
    keyed_slot slot;
    unsigned weight;
};

constexpr std::size_t entry_count = 4;
shared_table table;
int repairs = 0;

entry* entries() {
    return static_cast<entry*>(shared_table_body(table));
}

void repair(void* body) {
    ++repairs;
    terminate_keys(static_cast<entry*>(body), entry_count);
}

bool lock_and_scribble() {
    if (!lock_shared_table(table)) return false;
    // A key half written: no NUL anywhere in it.
    std::memset(entries()[0].slot.key, 'x', table_key_size);
    entries()[0].slot.used = true;
    return true;
}

TEST(SharedTable, TheNextTakerAfterAKilledHolderRepairsTheTable) {
    table.repair = repair;
    ASSERT_EQ(map_shared_table(table, entry_count * sizeof(entry)), 0);
    repairs = 0;
    tollmar::test::kill_a_lock_holder(lock_and_scribble);
    ASSERT_TRUE(lock_shared_table(table));
    EXPECT_EQ(repairs, 1);
    EXPECT_EQ(std::strlen(entries()[0].slot.key), table_key_size - 1);
    unlock_shared_table(table);
    ASSERT_TRUE(lock_shared_table(table));  // consistent again: no second repair
    EXPECT_EQ(repairs, 1);
    unlock_shared_table(table);
    alarm(0);
    unmap_shared_table(table);
    EXPECT_FALSE(lock_shared_table(table));
}

TEST(SharedTable, KeyedEntriesAreFoundAndReusedFreeFirstThenLeastWorth) {
    entry e[3] = {};
    claim_key(e[0].slot, "192.0.2.1", 30);
    e[0].weight = 1;
    EXPECT_EQ(&take_keyed(e, 3), &e[1]);  // a free one before any used
    claim_key(e[1].slot, "192.0.2.2", 10);
    e[1].weight = 5;
    claim_key(e[2].slot, "192.0.2.3", 20);
    e[2].weight = 5;
    EXPECT_EQ(find_keyed(e, 3, "192.0.2.2"), &e[1]);
    EXPECT_EQ(find_keyed(e, 3, "192.0.2.20"), nullptr);
    EXPECT_EQ(&take_keyed(e, 3), &e[1]);  // by default the oldest
    const auto lighter = [](const entry& a, const entry& b) { return a.weight < b.weight; };
    EXPECT_EQ(&take_keyed(e, 3, lighter), &e[0]);
    e[1].slot.used = false;
    EXPECT_EQ(find_keyed(e, 3, "192.0.2.2"), nullptr);
}

}  // namespace
