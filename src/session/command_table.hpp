// Lookup in a table of commands recognised by a fixed-length prefix.
#pragma once
#include <cstddef>

#include "util/text.hpp"

namespace tollmar::session {

// The first row whose word matches the first `length` characters of line,
// ignoring case; nullptr when none does. Rows need `word` and `length`.
template <typename Row, std::size_t N>
const Row* find_command(const Row (&table)[N], const char* line) {
    for (const Row& row : table) {
        if (util::starts_with_nocase(line, row.word, row.length)) return &row;
    }
    return nullptr;
}

}  // namespace tollmar::session
