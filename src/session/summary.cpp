#include "session/summary.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "channel/line_io.hpp"
#include "maildrop/mailbox.hpp"
#include "session/drop.hpp"
#include "util/log.hpp"

namespace tollmar::session {

session_summary summary;

namespace {

bool needs_escape(unsigned char c) {
    return c <= ' ' || c >= 0x7f || c == '=' || c == '\\' || c == '"' || c == '\'';
}

// The login with the bytes that could break the key=value form escaped;
// out holds at least 4 * summary_login_size bytes.
void escape_login(const char* login, char* out) {
    static constexpr char hex[] = "0123456789abcdef";
    for (const char* p = login; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (!needs_escape(c)) {
            *out++ = *p;
            continue;
        }
        *out++ = '\\';
        *out++ = 'x';
        *out++ = hex[c >> 4];
        *out++ = hex[c & 0xf];
    }
    *out = '\0';
}

void log_summary() {
    if (!summary.started) return;
    summary.started = false;  // once, should exit run the hooks twice
    static char line[util::log_line_size];
    format_summary(summary, util::noted_ending(), line, sizeof line);
    util::log_line(LOG_INFO, "%s", line);
}

}  // namespace

void summary_start(const char* login) {
    summary = session_summary{};
    std::snprintf(summary.login, sizeof summary.login, "%s", login != nullptr ? login : "");
    summary.messages = maildrop::message_count(drop);
    summary.started = true;
    if (std::atexit(log_summary) != 0) summary.started = false;
}

void summary_message_begins() {
    summary.reply_start = channel::output_octets();
}

void summary_message_ends() {
    ++summary.retrieved;
    summary.octets += channel::output_octets() - summary.reply_start;
}

void summary_quit(bool removed) {
    util::note_ending(util::ending::quit);
    if (!removed) return;
    std::int64_t marked = 0;
    for (std::int32_t i = 1; i <= maildrop::message_count(drop); ++i)
        if (maildrop::message_at(drop, static_cast<unsigned long>(i))->deleted != 0) ++marked;
    summary.deleted = marked;
}

void format_summary(const session_summary& s, util::ending why, char* out, std::size_t size) {
    if (out == nullptr || size == 0) return;
    static char login[4 * summary_login_size];
    escape_login(s.login, login);
    std::snprintf(out, size,
                  "session summary: login=%s retrieved=%" PRIu64 " octets=%" PRIu64
                  " deleted=%" PRId64 " kept=%" PRId64 " end=%s",
                  login, s.retrieved, s.octets, s.deleted, s.messages - s.deleted,
                  util::ending_name(why));
}

}  // namespace tollmar::session
