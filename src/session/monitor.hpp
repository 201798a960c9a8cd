// The root side of the login: everything the root connection process does
// for the pre-login process it forks, and nothing more. The pre-login process
// (prelogin.hpp, and authorize in phases.hpp) runs jailed and alone reads the
// client until the login is accepted; this process never parses a client's
// byte before then. It answers the pre-login process's messages
// (login_message.hpp) and treats each one as hostile:
//   - writes the log lines the pre-login process forwards;
//   - answers one login request with a verdict (root_verdict);
//   - takes the handover of the command bytes already read;
//   - ends the connection, with the pre-login process's exit status, when
//     that process ends first, and kills it on a malformed message.
#pragma once
#include "auth/credentials.hpp"
#include "session/login_message.hpp"

namespace tollmar::session {

// Forks the pre-login process on the client socket client_fd and returns
// this process's end of the socket pair between them. tls: the pair will
// carry the session's plain text, so its buffers are made large. A failure
// logs and ends the process.
int fork_prelogin(int client_fd, bool tls);

// Waits for the pre-login process's login request (writing the log lines it
// sends first), judges it with root_verdict and sends the verdict. Returns
// only on an accepted login, with request.name and result filled; the
// password is wiped. A refusal or an ended pre-login process ends this one.
void answer_login(int pair_fd, login_request& request, auth::login_result& result);

// Takes the handover (the command bytes the pre-login process read past PASS
// go to the input buffer) and returns the descriptor the session speaks on:
// over TLS (-s, or after STLS) the socket pair (the pre-login process stays
// on as the TLS end); over plain TCP the client socket, the pre-login process
// being ended.
int take_handover(int pair_fd, int client_fd);

// The verdict on a login attempt, in the root connection process: the
// throttle's delay, the credential check and its log line,
// "Authenticated ..." or "login failed ...".
auth::login_result root_verdict(const char* name, const char* password);

}  // namespace tollmar::session
