#include "util/text.hpp"

#include <cstring>

namespace tollmar::util {

namespace {
char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

bool starts_with_nocase(const char* text, const char* word, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (text[i] == '\0' || lower(text[i]) != lower(word[i])) return false;
    }
    return true;
}

void cut_at_line_end(char* text) {
    char* end = std::strchr(text, '\r');
    if (end == nullptr) end = std::strchr(text, '\n');
    if (end != nullptr) *end = '\0';
}

}  // namespace tollmar::util
