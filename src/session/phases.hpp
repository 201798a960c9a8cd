// The phases of one session, in the order run_session calls them: authorize
// in the pre-login process (its root side is in monitor.hpp), then
// acquire_maildrop and command_loop in the root connection process.
#pragma once
#include <cstddef>

#include "auth/credentials.hpp"

namespace tollmar::session {

// Room for one command line from the client, its terminating NUL included:
// longer lines are cut to this size less one. The login name is kept in a
// buffer one byte larger.
inline constexpr std::size_t command_buffer_size = 4096;

// Answers one login attempt: name and password without their line ends.
using verdict_source = auth::login_verdict (*)(const char* name, const char* password);

// Greeting already sent: reads USER and PASS (either order, with CAPA and
// QUIT), asks ask_verdict once, wipes the password and fills login_name
// (command_buffer_size + 1 bytes). A refused login (after its reply), QUIT or
// the end of input ends the process. Runs in the pre-login process.
void authorize(int fd, char* command_line, char* login_name, verdict_source ask_verdict);

// For the accepted login: resolves the account (login's mapped_user, else
// login_name) and the maildrop (login's maildrop, else by the settings),
// joins group "mail", takes the dot-lock, switches to the account, scans the
// maildrop and sends the deferred "+OK". Every failure replies, logs and ends
// the process.
void acquire_maildrop(int fd, const char* login_name, const auth::login_result& login);

// The transaction state; returns after the QUIT sequence.
void command_loop(int fd, char* command_line);

}  // namespace tollmar::session
