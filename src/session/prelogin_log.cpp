#include "session/prelogin_log.hpp"

#include <syslog.h>

#include <cstdio>
#include <cstring>

#include "config/settings.hpp"
#include "util/peer_address.hpp"
#include "util/strlcpy.hpp"

namespace tollmar::session {

namespace {

enum class part {
    none,    // the whole line is the fixed text
    detail,  // fixed text, then a detail (an error's text)
    own,     // a line that root writes from its own values
};

struct event {
    int priority;
    const char* text;
    part rest;
};

// Every line the pre-login process (channel I/O, TLS, the screen for stray
// PROXY headers, the dialogue, the jail) may log.
constexpr event events[] = {
    {LOG_ERR, "read() timed out.", part::none},
    {LOG_ERR, "write() timed out.", part::none},
    {LOG_ERR, "SSL: failed to get new handle", part::none},
    {LOG_ERR, "SSL: failed to accept connection", part::none},
    {LOG_ERR, "read failed - aborting: ", part::detail},
    {LOG_ERR, "write failed - aborting: ", part::detail},
    {LOG_ERR, "failed to enter the pre-login jail: ", part::detail},
    {LOG_ERR, "failed to set signal handler: ", part::detail},
    {LOG_ERR, "PROXY header refused", part::own},
    {LOG_WARNING, "login time exceeded", part::own},
    {LOG_WARNING, "too many bad commands", part::own},
    {LOG_WARNING, "authorization identity refused", part::own},
};

bool plain_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr(" .,:_/-", c) != nullptr;
}

void escape_detail(const char* detail, char* out, std::size_t out_size) {
    std::size_t at = std::strlen(out);
    for (std::size_t i = 0; detail[i] != '\0' && i < prelogin_detail_max; ++i) {
        const auto c = static_cast<unsigned char>(detail[i]);
        if (at + 5 > out_size) break;
        if (plain_byte(c)) {
            out[at++] = static_cast<char>(c);
        } else {
            std::snprintf(out + at, out_size - at, "\\x%02x", c);
            at += 4;
        }
    }
    out[at] = '\0';
}

// Root's own line for an event of part::own.
void own_line(const char* text, char* out, std::size_t out_size) {
    if (std::strcmp(text, "login time exceeded") == 0) {
        std::snprintf(out, out_size, "%s (%u seconds) from %s", text,
                      static_cast<unsigned>(config::settings.login_deadline), util::client_host());
    } else if (std::strcmp(text, "PROXY header refused") == 0) {
        std::snprintf(out, out_size, "%s from %s:%u: %s", text, util::client_host(),
                      util::client_port(), "not from a trusted proxy");
    } else {
        std::snprintf(out, out_size, "%s from %s", text, util::client_host());
    }
}

}  // namespace

bool prelogin_log_line(int priority, const char* text, char* out, std::size_t out_size) {
    for (const event& e : events) {
        if (e.priority != priority) continue;
        const std::size_t n = std::strlen(e.text);
        switch (e.rest) {
            case part::none:
                if (std::strcmp(text, e.text) != 0) continue;
                util::strlcpy(out, e.text, out_size);
                return true;
            case part::detail:
                if (std::strncmp(text, e.text, n) != 0) continue;
                util::strlcpy(out, e.text, out_size);
                escape_detail(text + n, out, out_size);
                return true;
            case part::own:
                own_line(e.text, out, out_size);
                if (std::strcmp(text, out) != 0) continue;
                return true;
        }
    }
    return false;
}

}  // namespace tollmar::session
