// A fault the server cannot go on from: always logged, shown on standard
// error only while the start is being watched, and the end of the process.
#include "util/fatal.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/child_run.hpp"
#include "util/log.hpp"

namespace {

using namespace tollmar::test;

int observed_fd = -1;

void pass_line_on(int, const char* line) {
    write_text(observed_fd, std::string(line) + "\n");
}

TEST(Fatal, LogsAlwaysAndShowsOnlyBeforeServing) {
    const struct {
        bool serving;
        const char* shown;
        const char* err;
    } cases[] = {
        {false, nullptr, "bad thing: 7\n"},
        {false, "tool: other words", "tool: other words\n"},
        {true, nullptr, ""},
        {true, "tool: other words", ""},
    };
    for (const auto& c : cases) {
        const child_result r = run_in_child([&](int extra) {
            observed_fd = extra;
            tollmar::util::log_observer = pass_line_on;
            if (c.serving) tollmar::util::note_serving();
            tollmar::util::fatal(c.shown, "%s: %d", "bad thing", 7);
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.extra, "bad thing: 7\n");
        EXPECT_EQ(r.err, c.err);
    }
}

}  // namespace
