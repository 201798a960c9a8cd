// The phases of one session, in the order run_session calls them.
#pragma once
#include <cstddef>

namespace tollmar::session {

// Room for one command line from the client, its terminating NUL included:
// longer lines are cut to this size less one. The login name is kept in a
// buffer one byte larger.
inline constexpr std::size_t command_buffer_size = 4096;

// Greeting already sent: reads USER and PASS (either order, with CAPA and
// QUIT), checks them once and fills login_name (command_buffer_size + 1 bytes). A refused login,
// QUIT or the end of input ends the process.
void authorize(int fd, char* command_line, char* login_name);

// Resolves the account and maildrop, joins group "mail", takes the dot-lock,
// switches to the account, scans the maildrop and sends the deferred "+OK".
// Every failure replies, logs and ends the process.
void acquire_maildrop(int fd, const char* login_name);

// The transaction state; returns after the QUIT sequence.
void command_loop(int fd, char* command_line);

}  // namespace tollmar::session
