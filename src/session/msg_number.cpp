#include "session/msg_number.hpp"

#include <cstdint>

#include "maildrop/mailbox.hpp"
#include "session/drop.hpp"

namespace tollmar::session {

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool msg_read_number(const char* text, unsigned long* value, const char** end) {
    const char* p = text;
    while (is_space(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    if (!is_digit(*p)) return false;

    // Accumulate with saturation: the digits are consumed whatever their
    // count, but the value never wraps.
    std::uint64_t number = 0;
    for (; is_digit(*p); ++p) {
        if (number <= msg_number_huge) number = number * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    if (number > msg_number_huge || (negative && number != 0)) number = msg_number_huge;
    *value = static_cast<unsigned long>(number);
    if (end != nullptr) *end = p;
    return true;
}

const char* msg_argument(const char* line, std::size_t position) {
    for (std::size_t i = 0; i < position; ++i) {
        if (line[i] == '\0') return line + i;
    }
    return line + position;
}

bool msg_is_valid(unsigned long number) {
    const maildrop::message_entry* entry = maildrop::message_at(drop, number);
    return entry != nullptr && entry->deleted == 0;
}

}  // namespace tollmar::session
