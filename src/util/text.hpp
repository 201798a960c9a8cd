// Small text helpers shared by the protocol and authentication code.
#pragma once
#include <cstddef>

namespace tollmar::util {

// True when the first n characters of text equal word, ignoring the case of
// ASCII letters. A text shorter than n characters never matches.
bool starts_with_nocase(const char* text, const char* word, std::size_t n);

// Cuts text in place at its first CR or, when it has none, at its first LF.
void cut_at_line_end(char* text);

}  // namespace tollmar::util
