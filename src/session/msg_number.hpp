// Reading the numeric arguments of the message commands.
#pragma once
#include <cstddef>

namespace tollmar::session {

// A number read like the "%u" conversion of scanf: leading white space is
// skipped, an optional sign is accepted, the digits end at the first
// non-digit and whatever follows is ignored. Unlike scanf, a value that does
// not fit in 32 bits, or a negative one, is never wrapped around into a small
// number: it reads as msg_number_huge, which names no message and means
// "every line" as a line count.
constexpr unsigned long msg_number_huge = 0xffffffffUL;

// Returns true and stores the value when a number begins the text (after
// white space), false otherwise. *end, when given, points just past the digits.
bool msg_read_number(const char* text, unsigned long* value, const char** end);

// The argument text of a command line: what starts at the given 0-based
// position, or the empty text when the line is shorter.
const char* msg_argument(const char* line, std::size_t position);

// A 1-based message number that names a message not marked deleted.
bool msg_is_valid(unsigned long number);

}  // namespace tollmar::session
