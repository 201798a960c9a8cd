// The summary line's text: every ending's word, and logins that must not be
// able to forge a key or split the line.
#include "session/summary.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "util/log.hpp"

namespace tollmar::session {
namespace {

std::string line_for(const char* login, util::ending why) {
    session_summary s;
    std::strncpy(s.login, login, sizeof s.login - 1);
    s.messages = 5;
    s.retrieved = 3;
    s.octets = 12345678901ULL;  // over 32 bits
    s.deleted = 2;
    char out[util::log_line_size];
    format_summary(s, why, out, sizeof out);
    return out;
}

TEST(SummaryLine, CarriesEveryCountAndTheEnding) {
    const struct {
        util::ending why;
        const char* word;
    } cases[] = {{util::ending::quit, "quit"},
                 {util::ending::timeout, "timeout"},
                 {util::ending::broken, "broken"},
                 {util::ending::signal, "signal"},
                 {util::ending::unknown, "error"}};
    for (const auto& c : cases)
        EXPECT_EQ(line_for("ann", c.why),
                  std::string("session summary: login=ann retrieved=3 octets=12345678901 "
                              "deleted=2 kept=3 end=") +
                      c.word);
}

TEST(SummaryLine, EscapesWhatCouldForgeAKey) {
    const struct {
        const char* login;
        const char* shown;
    } cases[] = {
        {"ann.b-c_d@example.org", "ann.b-c_d@example.org"},
        {"ann end=quit", "ann\\x20end\\x3dquit"},
        {"a\"b'c\\d", "a\\x22b\\x27c\\x5cd"},
        {"tab\there\x7f", "tab\\x09here\\x7f"},
        {"\xc3\xa9", "\\xc3\\xa9"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(line_for(c.login, util::ending::quit),
                  std::string("session summary: login=") + c.shown +
                      " retrieved=3 octets=12345678901 deleted=2 kept=3 end=quit")
            << c.login;
}

TEST(SummaryLine, LongestLoginStillEndsWithTheEnding) {
    const std::string login(summary_login_size - 1, ' ');
    const std::string line = line_for(login.c_str(), util::ending::timeout);
    EXPECT_EQ(line.substr(line.size() - 12), " end=timeout");
}

TEST(Ending, FirstNotedCauseWins) {
    util::note_ending(util::ending::timeout);
    util::note_ending(util::ending::broken);
    EXPECT_EQ(util::noted_ending(), util::ending::timeout);
}

}  // namespace
}  // namespace tollmar::session
