// The session's open maildrop: acquire_maildrop opens it, the handlers read
// its messages, QUIT finishes it, and every ending closes it.
#pragma once
#include "maildrop/mailbox.hpp"

namespace tollmar::session {

extern maildrop::mailbox drop;  // defined in commands.cpp

}  // namespace tollmar::session
