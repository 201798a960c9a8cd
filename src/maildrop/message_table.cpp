#include "maildrop/message_table.hpp"

#include <cstdlib>
#include <cstring>

#include "maildrop/table_growth.hpp"

namespace tollmar::maildrop {

message_table messages = {0, nullptr};

namespace {
std::int32_t capacity = 0;  // entries allocated behind messages.entries
}

void release_message_table() {
    std::free(messages.entries);
    messages.entries = nullptr;
    messages.count = 0;
    capacity = 0;
}

namespace detail {

message_entry* append_entry() {
    if (messages.count == INT32_MAX) return nullptr;
    if (messages.count == capacity) {
        std::int64_t wanted = capacity < 16 ? 16 : static_cast<std::int64_t>(capacity) * 3 / 2;
        if (wanted > INT32_MAX) wanted = INT32_MAX;
        void* grown = std::realloc(messages.entries,
                                   static_cast<std::size_t>(wanted) * sizeof(message_entry));
        if (grown == nullptr) return nullptr;
        messages.entries = static_cast<message_entry*>(grown);
        capacity = static_cast<std::int32_t>(wanted);
    }
    message_entry* entry = &messages.entries[messages.count];
    std::memset(entry, 0, sizeof *entry);
    // Counted only now: clean-up may walk the table at any moment and must
    // find a valid (here empty) path in every counted entry.
    ++messages.count;
    return entry;
}

}  // namespace detail
}  // namespace tollmar::maildrop
