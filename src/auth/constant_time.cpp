#include "auth/constant_time.hpp"

#include <cstring>

namespace tollmar::auth {

namespace {

unsigned lower_without_branch(unsigned char c) {
    // 0x20 when c is 'A'..'Z', else 0; the comparison compiles to a flag, not a jump.
    const unsigned is_upper = static_cast<unsigned>(c - 'A') < 26u;
    return c | (is_upper << 5);
}

}  // namespace

bool texts_equal_constant_time(const char* given, const char* stored) {
    const std::size_t given_length = std::strlen(given);
    const std::size_t stored_length = std::strlen(stored);
    std::size_t difference = given_length ^ stored_length;
    // Wrapping round the stored text (terminator included) keeps every read
    // inside it; when the lengths agree the index never wraps.
    for (std::size_t i = 0; i < given_length; ++i) {
        difference |= static_cast<unsigned char>(given[i]) ^
                      static_cast<unsigned char>(stored[i % (stored_length + 1)]);
    }
    return difference == 0;
}

bool hex_equal_constant_time(const char* a, const char* b, std::size_t n) {
    unsigned difference = 0;
    for (std::size_t i = 0; i < n; ++i) {
        difference |= lower_without_branch(static_cast<unsigned char>(a[i])) ^
                      lower_without_branch(static_cast<unsigned char>(b[i]));
    }
    return difference == 0;
}

}  // namespace tollmar::auth
