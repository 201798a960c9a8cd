// How the process's session is ending, for the summary line it logs at exit.
// The layers that end a session (the channel on a timeout or a failed read or
// write, the signal handling, the session on QUIT or end of input) note why
// before they exit.
#pragma once

namespace tollmar::util {

enum class ending : unsigned char {
    unknown,  // nothing noted: an internal failure
    quit,     // the client sent QUIT
    timeout,  // the client stayed silent or stopped reading (-t)
    broken,   // the connection ended without QUIT, or a read or write failed
    signal,   // a termination signal
};

// The first cause noted wins: a timeout whose reply then fails to reach the
// client still ended by the timeout.
void note_ending(ending why);

ending noted_ending();

// The word the summary line uses: "quit", "timeout", "broken", "signal",
// "error" for unknown.
const char* ending_name(ending why);

}  // namespace tollmar::util
