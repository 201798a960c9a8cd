// The POP3 command handlers. Every handler has the same shape: it gets the
// connection and the whole command line as read (line end included), and
// sends its own reply. command_tables.cpp maps the command words to them.
#pragma once

namespace tollmar::session {

// Set by every DELE (whatever its reply) and cleared by RSET: QUIT writes the
// maildrop back only when it is set.
extern bool maildrop_dirty;

// The authorization state (authorization.cpp). USER and PASS keep their
// argument; the first of the two is answered at once, the second by the
// verdict, as is AUTH PLAIN. STLS turns the connection to TLS.
void cmd_user(int fd, const char* line);
void cmd_pass(int fd, const char* line);
void cmd_auth(int fd, const char* line);
void cmd_stls(int fd, const char* line);
[[noreturn]] void cmd_auth_quit(int fd, const char* line);

// CAPA (capability.cpp): before the login, listing USER and SASL only where
// a login may follow and STLS where it is offered; after it, the fixed list.
void cmd_auth_capa(int fd, const char* line);
void cmd_capa(int fd, const char* line);

// False while a login must wait for STLS (-R, no TLS yet).
bool login_offered();

// True where STLS may be taken: -S or -R, a certificate loaded, no TLS yet.
bool stls_offered();

// The transaction state (commands.cpp; QUIT in transaction.cpp).
void cmd_stat(int fd, const char* line);
void cmd_list(int fd, const char* line);
void cmd_retr(int fd, const char* line);
void cmd_top(int fd, const char* line);
void cmd_dele(int fd, const char* line);
void cmd_noop(int fd, const char* line);
void cmd_rset(int fd, const char* line);
void cmd_uidl(int fd, const char* line);
void cmd_quit(int fd, const char* line);

// One "<number> <unique-id>" line of the UIDL listing; nothing when index is
// out of range or the spool file cannot be read.
void send_unique_id(int fd, int index);

}  // namespace tollmar::session
