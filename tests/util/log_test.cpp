// The one logging path: the observer sees every line, and -e copies each line
// to standard error as "tollmar[<pid>]: <text>".
#include "util/log.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "support/child_run.hpp"

namespace {

using tollmar::test::child_result;
using tollmar::test::run_in_child;
using tollmar::test::write_text;
using tollmar::util::log_line;
using tollmar::util::log_observer;
using tollmar::util::open_log;

std::vector<std::pair<int, std::string>> seen;
void remember(int priority, const char* line) {
    seen.emplace_back(priority, line);
}

TEST(LogLine, ObserverSeesTheFormattedLineAndPriority) {
    seen.clear();
    log_observer = remember;
    log_line(LOG_INFO, "Authenticated %s", "alice");
    log_line(LOG_ERR, "%s: %s: %d", "failed", "/x", 7);
    log_observer = nullptr;
    log_line(LOG_INFO, "%s", "unseen");
    const std::vector<std::pair<int, std::string>> expected = {{LOG_INFO, "Authenticated alice"},
                                                               {LOG_ERR, "failed: /x: 7"}};
    EXPECT_EQ(seen, expected);
}

TEST(LogLine, CopiesToStandardErrorOnlyWhenAsked) {
    for (const bool copy : {false, true}) {
        const child_result r = run_in_child([copy](int extra) {
            open_log("tollmar-test", copy);
            log_line(LOG_INFO, "Authenticated %s", "alice");
            log_line(LOG_WARNING, "%s", "second");
            write_text(extra, std::to_string(getpid()));
        });
        ASSERT_EQ(r.status, tollmar::test::returned_status);
        const std::string prefix = "tollmar[" + r.extra + "]: ";
        const std::string expected =
            copy ? prefix + "Authenticated alice\n" + prefix + "second\n" : "";
        EXPECT_EQ(r.err, expected) << "copy " << copy;
        EXPECT_EQ(r.out, "");
    }
}

TEST(LogLine, OverlongLineIsCutButStillEndsInALineFeed) {
    const child_result r = run_in_child([](int) {
        open_log("tollmar-test", true);
        log_line(LOG_INFO, "%s", std::string(20000, 'x').c_str());
    });
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.back(), '\n');
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1);
    EXPECT_GT(r.err.size(), 8000u);
}

}  // namespace
