// Comparisons of secrets whose running time does not depend on where the
// texts first differ, so that a client cannot find a password by timing.
#pragma once
#include <cstddef>

namespace tollmar::auth {

// True when given and stored are the same text. The time depends on the
// length of given (the client's own input) only.
bool texts_equal_constant_time(const char* given, const char* stored);

// True when the first n characters of a and b agree after ASCII letters are
// lowered; neither text may be shorter than n characters.
bool hex_equal_constant_time(const char* a, const char* b, std::size_t n);

}  // namespace tollmar::auth
