// The line a session logs when it ends, once it holds its maildrop: the
// login, what it retrieved and deleted, and how it ended, as key=value pairs:
//   session summary: login=ann retrieved=2 octets=5120 deleted=1 kept=3 end=quit
#pragma once
#include <cstddef>
#include <cstdint>

#include "util/ending.hpp"

namespace tollmar::session {

// Room for the login as the summary keeps it; a longer one is cut.
inline constexpr std::size_t summary_login_size = 1024;

struct session_summary {
    bool started = false;
    char login[summary_login_size] = {};
    std::int64_t messages = 0;      // in the maildrop when the session began
    std::uint64_t retrieved = 0;    // RETR and TOP replies with a message
    std::uint64_t octets = 0;       // their text, between "+OK" and "."
    std::int64_t deleted = 0;       // removed from the maildrop at QUIT
    std::uint64_t reply_start = 0;  // channel::output_octets() after "+OK"
};

extern session_summary summary;

// The maildrop is scanned: starts counting and has the line logged at exit.
void summary_start(const char* login);

// Around the text of one RETR or TOP reply: after its "+OK" line, and before
// its terminating ".".
void summary_message_begins();
void summary_message_ends();

// At QUIT, with the table still there: removed says whether the rewrite
// removed the messages marked deleted.
void summary_quit(bool removed);

// The line, without its priority, into out (cut to size - 1 bytes). The
// login's bytes outside printable ASCII, and the characters = \ " ' and
// space, are written as \xHH so that no login can forge a key.
void format_summary(const session_summary& s, util::ending why, char* out, std::size_t size);

}  // namespace tollmar::session
