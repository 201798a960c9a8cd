#include "maildrop/message_table.hpp"

#include <cstdlib>
#include <cstring>

#include "maildrop/table_growth.hpp"

namespace tollmar::maildrop {

message_table messages = {0, nullptr};

namespace {
std::int32_t capacity = 0;  // entries allocated behind messages.entries

// The name store: blocks filled one name after the other and chained for the
// release; a block is never moved, so the entries may point into it.
struct name_block {
    name_block* next;
    std::size_t used;
    std::size_t size;
    char bytes[];
};
constexpr std::size_t name_block_size = 64 * 1024;
name_block* names = nullptr;  // the block being filled; earlier ones behind it

void release_names() {
    while (names != nullptr) {
        name_block* next = names->next;
        std::free(names);
        names = next;
    }
}
}  // namespace

void release_message_table() {
    release_names();
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
    entry->spool_path = "";
    // Counted only now: clean-up may walk the table at any moment and must
    // find a valid (here empty) path in every counted entry.
    ++messages.count;
    return entry;
}

char* keep_spool_name(const char* name) {
    const std::size_t length = std::strlen(name) + 1;
    if (names == nullptr || names->size - names->used < length) {
        const std::size_t size = length > name_block_size ? length : name_block_size;
        auto* block = static_cast<name_block*>(std::malloc(sizeof(name_block) + size));
        if (block == nullptr) return nullptr;
        block->next = names;
        block->used = 0;
        block->size = size;
        names = block;
    }
    char* kept = names->bytes + names->used;
    std::memcpy(kept, name, length);
    names->used += length;
    return kept;
}

}  // namespace detail
}  // namespace tollmar::maildrop
