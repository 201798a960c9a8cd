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

std::vector<std::pair<int, std::string>> forwarded;
void forward(int priority, const char* line) {
    forwarded.emplace_back(priority, line);
}

TEST(LogLine, ForwarderTakesTheLineInsteadOfStandardError) {
    const child_result r = run_in_child([](int extra) {
        open_log("tollmar-test", true);
        seen.clear();
        tollmar::util::log_forwarder = forward;
        log_observer = remember;
        log_line(LOG_ERR, "%s", "read() timed out.");
        tollmar::util::log_forwarder = nullptr;
        log_line(LOG_INFO, "%s", "local");
        // The forwarder got the formatted line once; the observer saw both.
        std::string text;
        for (const auto& [priority, line] : forwarded)
            text += std::to_string(priority) + line + ";";
        text += "|";
        for (const auto& [priority, line] : seen) text += std::to_string(priority) + line + ";";
        write_text(extra, text);
    });
    ASSERT_EQ(r.status, tollmar::test::returned_status);
    EXPECT_EQ(r.extra, "3read() timed out.;|3read() timed out.;6local;");
    EXPECT_EQ(r.err.find("read() timed out."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("local"), std::string::npos) << r.err;
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
