// Root writes only the pre-login process's fixed log events, with their
// details escaped; any other line is refused.
#include "session/prelogin_log.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <syslog.h>

#include <cstring>
#include <string>

#include "config/settings.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"

namespace {

using tollmar::session::prelogin_log_line;

TEST(PreloginLog, OnlyTheFixedEventsWithEscapedDetails) {
    sockaddr_storage peer{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&peer);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(0xcb007109);  // 203.0.113.9
    v4->sin_port = htons(40000);
    tollmar::util::set_client_address(peer);
    const auto saved = tollmar::config::settings;
    tollmar::config::settings.login_deadline = 60;
    const struct {
        int priority;
        const char* text;
        const char* logged;  // nullptr: refused
    } cases[] = {
        {LOG_ERR, "read() timed out.", "read() timed out."},
        {LOG_ERR, "read failed - aborting: Connection reset by peer",
         "read failed - aborting: Connection reset by peer"},
        {LOG_ERR, "failed to enter the pre-login jail: seccomp_load: Invalid argument",
         "failed to enter the pre-login jail: seccomp_load: Invalid argument"},
        {LOG_WARNING, "login time exceeded (60 seconds) from 203.0.113.9",
         "login time exceeded (60 seconds) from 203.0.113.9"},
        {LOG_WARNING, "too many bad commands from 203.0.113.9",
         "too many bad commands from 203.0.113.9"},
        {LOG_ERR, "PROXY header refused from 203.0.113.9:40000: not from a trusted proxy",
         "PROXY header refused from 203.0.113.9:40000: not from a trusted proxy"},
        {LOG_WARNING, "authorization identity refused from 203.0.113.9",
         "authorization identity refused from 203.0.113.9"},
        {LOG_WARNING, "authorization identity refused from 10.0.0.1", nullptr},
        {LOG_WARNING, "authorization identity refused for admin from 203.0.113.9", nullptr},
        {LOG_ERR, "PROXY header refused from 203.0.113.9:40001: not from a trusted proxy", nullptr},
        // A detail cannot carry a line a log filter would act on.
        {LOG_ERR, "write failed - aborting: x\nlogin failed ('admin') return value 0",
         "write failed - aborting: x\\x0alogin failed \\x28\\x27admin\\x27\\x29 return value 0"},
        // Free text, another client, another deadline, another priority.
        {LOG_WARNING, "login failed ('admin') return value 0 (wrong password) from 10.0.0.1",
         nullptr},
        {LOG_WARNING, "too many bad commands from 10.0.0.1", nullptr},
        {LOG_WARNING, "login time exceeded (5 seconds) from 203.0.113.9", nullptr},
        {LOG_WARNING, "read() timed out.", nullptr},
        {LOG_ERR, "read() timed out. and more", nullptr},
        {LOG_ERR, "", nullptr},
    };
    for (const auto& c : cases) {
        char out[tollmar::util::log_line_size];
        const bool taken = prelogin_log_line(c.priority, c.text, out, sizeof out);
        ASSERT_EQ(taken, c.logged != nullptr) << c.text;
        if (taken) {
            EXPECT_STREQ(out, c.logged) << c.text;
        }
    }
    tollmar::config::settings = saved;
}

TEST(PreloginLog, ALongDetailIsCut) {
    const std::string text = "read failed - aborting: " + std::string(5000, '(');
    char out[tollmar::util::log_line_size];
    ASSERT_TRUE(prelogin_log_line(LOG_ERR, text.c_str(), out, sizeof out));
    EXPECT_EQ(std::strlen(out),
              std::strlen("read failed - aborting: ") + 4 * tollmar::session::prelogin_detail_max);
    char small[40];
    ASSERT_TRUE(prelogin_log_line(LOG_ERR, text.c_str(), small, sizeof small));
    EXPECT_LT(std::strlen(small), sizeof small);
}

}  // namespace
