// The log lines the root connection process writes for its pre-login
// process: a fixed set of events, never free text. A jailed process could
// otherwise have root log any line under the connection's pid, such as a
// refused login from an address of its choosing, which a log filter would
// act on.
#pragma once
#include <cstddef>

namespace tollmar::session {

// Longest detail (the part after an event's fixed text) taken from the
// pre-login process; the rest is cut.
inline constexpr std::size_t prelogin_detail_max = 120;

// When text at priority is one of the pre-login process's events, writes the
// line root logs for it into out (out_size at least log_line_size): the
// event's fixed text, then its detail, if it has one, with every byte but
// letters, digits, blank and . , : _ / - written as \xNN. Events that name
// the client or the deadline must match root's own values exactly. false for
// anything else.
bool prelogin_log_line(int priority, const char* text, char* out, std::size_t out_size);

}  // namespace tollmar::session
