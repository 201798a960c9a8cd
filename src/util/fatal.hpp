// The one way for the server to give up on a fault it cannot go on from.
#pragma once

namespace tollmar::util {

// Logs the formatted text at LOG_ERR and ends the process with status 1.
// Until note_serving, while an operator is still watching the start, the
// fault is also written to standard error: terminal_text and a newline, or
// the logged text when terminal_text is nullptr.
[[noreturn]] void fatal(const char* terminal_text, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The server has detached or started serving: standard error is nobody's to
// read any more, and fatal only logs.
void note_serving();

}  // namespace tollmar::util
