#include "maildrop/message_table.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "maildrop/origin.hpp"
#include "maildrop/table_growth.hpp"

namespace tollmar::maildrop {

bool spool_path_of(const message_table& messages, const message_entry& entry,
                   char (&path)[spool_path_capacity]) {
    path[0] = '\0';
    if (messages.in_place) return false;
    const std::size_t prefix = ::strnlen(messages.spool_prefix, sizeof messages.spool_prefix);
    const std::size_t name = ::strnlen(entry.spool_name, sizeof entry.spool_name);
    // Without a name the prefix alone would be unlinked; without a prefix the
    // name would be taken in the working folder.
    if (name == 0 || name == sizeof entry.spool_name || prefix == 0) return false;
    if (prefix + name >= sizeof path) return false;
    std::memcpy(path, messages.spool_prefix, prefix);
    std::memcpy(path + prefix, entry.spool_name, name + 1);
    return true;
}

void remove_spool_files(const message_table& messages) {
    char spool_path[spool_path_capacity];
    for (std::int32_t i = 0; i < messages.count; ++i)
        if (spool_path_of(messages, messages.entries[i], spool_path)) ::unlink(spool_path);
}

void release_message_table(message_table& messages) {
    std::free(messages.entries);
    messages.entries = nullptr;
    messages.count = 0;
    messages.capacity = 0;
}

namespace detail {

message_entry* append_entry(message_table& messages) {
    if (messages.count == INT32_MAX) return nullptr;
    if (messages.count == messages.capacity) {
        const std::int32_t capacity = messages.capacity;
        std::int64_t wanted = capacity < 16 ? 16 : static_cast<std::int64_t>(capacity) * 3 / 2;
        if (wanted > INT32_MAX) wanted = INT32_MAX;
        void* grown = std::realloc(messages.entries,
                                   static_cast<std::size_t>(wanted) * sizeof(message_entry));
        if (grown == nullptr) return nullptr;
        messages.entries = static_cast<message_entry*>(grown);
        messages.capacity = static_cast<std::int32_t>(wanted);
    }
    message_entry* entry = &messages.entries[messages.count];
    std::memset(entry, 0, sizeof *entry);
    // Counted only now: clean-up may walk the table at any moment and must
    // find a valid (here empty) name in every counted entry.
    ++messages.count;
    return entry;
}

void set_spool_prefix(message_table& messages, const char* spool_folder) {
    // A prefix cut short fills the buffer, so no name fits behind it.
    std::snprintf(messages.spool_prefix, sizeof messages.spool_prefix, "%s/.tollmar_%u_%u_",
                  spool_folder, static_cast<unsigned>(getpid()), origin_tag());
}

void set_spool_name(message_entry& entry, const char* name) {
    const std::size_t length = ::strnlen(name, sizeof entry.spool_name);
    if (length == 0 || length == sizeof entry.spool_name) return;
    std::memcpy(entry.spool_name + 1, name + 1, length);
    std::atomic_signal_fence(std::memory_order_release);
    entry.spool_name[0] = name[0];
}

}  // namespace detail
}  // namespace tollmar::maildrop
