// The POP3 session of one connection.
#pragma once

namespace tollmar::session {

// Greets, authorizes, acquires the maildrop and runs the command loop. Returns
// only after QUIT in the transaction state; every other ending exits.
void run_session(int fd);

}  // namespace tollmar::session
