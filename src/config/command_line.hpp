// Option parsing into the settings record, with the help and version output.
#pragma once

namespace tollmar::config {

// The options getopt takes; "+" keeps glibc from permuting, so parsing stops
// at the first non-option. Every letter but -h, -v and -x has a help line.
inline constexpr const char* option_string = "+df:sSRp:c:k:l:a:m:hvDL:t:x:Xeu:n:N:A:P:ir:b:";

// Parses the options with getopt into `settings`. Answers -h and -v itself and
// ends the process (status 0); a bad option or -m argument ends it with status
// 1 after a message on standard error. Returns only when start-up may go on.
void parse_command_line(int argc, char** argv);

[[noreturn]] void print_help(const char* program_name);

}  // namespace tollmar::config
