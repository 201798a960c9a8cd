// A table that every process forked after it was mapped shares: memory mapped
// MAP_SHARED, led by a robust process-shared mutex that guards the rest (the
// body). A process killed while holding the mutex leaves it to the next taker
// (EOWNERDEAD), which runs the table's repair step before it goes on, so one
// dead process never wedges the others.
//
// Tables keyed by a short text (a client address, a login name) put a
// keyed_slot first in each entry; find_keyed and take_keyed search and reuse
// them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "util/strlcpy.hpp"

namespace tollmar::util {

struct shared_table {
    void* memory = nullptr;  // nullptr: not mapped
    std::size_t size = 0;
    // Called with the mutex held when its last holder died with it: must make
    // the body safe to scan again (a key half written may lack its NUL).
    void (*repair)(void* body) = nullptr;
};

// Maps a zero-filled body of body_size bytes behind a fresh mutex (unmapping
// what table held before); 0, or the error number. repair is kept as set.
int map_shared_table(shared_table& table, std::size_t body_size);

// Maps the table kept in the file at path, which processes that share no
// parent (connections started by inetd) map alike. A missing file, or one
// that is not this user's regular file of mode 0600 and the table's size and
// layout, is replaced by a fresh one: made beside it under a temporary name,
// its mutex set up and its zero-filled body given to init, then put in place
// in one step, so that nobody maps a half-made table. 0, or the error number.
int map_shared_file(shared_table& table, const char* path, std::size_t body_size,
                    void (*init)(void* body));

// Unmaps the table in this process only: the mutex is not destroyed, since
// other processes may still use it.
void unmap_shared_table(shared_table& table);

void* shared_table_body(const shared_table& table);

// True when the mutex is held (after the repair step, when its last holder
// died with it); false without a table or when locking failed.
bool lock_shared_table(shared_table& table);
void unlock_shared_table(shared_table& table);

// Room for a key with its NUL: any IPv6 address or prefix as text fits.
inline constexpr std::size_t table_key_size = 64;

struct keyed_slot {
    char key[table_key_size];
    std::int64_t stamp_ms;  // what "oldest" means is the table's own
    bool used;
};

// Makes slot the live entry of key (cut to fit) at stamp_ms.
inline void claim_key(keyed_slot& slot, const char* key, std::int64_t stamp_ms) {
    util::strlcpy(slot.key, key, sizeof slot.key);
    slot.stamp_ms = stamp_ms;
    slot.used = true;
}

// Ends every key with a NUL again; for repair steps.
template <class Entry>
void terminate_keys(Entry* entries, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) entries[i].slot.key[table_key_size - 1] = '\0';
}

// The used entry of key among entries[0, count), or nullptr. Entry has a
// keyed_slot member named slot.
template <class Entry>
Entry* find_keyed(Entry* entries, std::size_t count, const char* key) {
    for (std::size_t i = 0; i < count; ++i) {
        if (entries[i].slot.used && std::strcmp(entries[i].slot.key, key) == 0) return &entries[i];
    }
    return nullptr;
}

// An unused entry, else the least worth keeping: the one for which worse(a,
// b) holds against every other (by default the smallest stamp).
template <class Entry, class Worse>
Entry& take_keyed(Entry* entries, std::size_t count, Worse worse) {
    Entry* pick = &entries[0];
    for (std::size_t i = 0; i < count; ++i) {
        if (!entries[i].slot.used) return entries[i];
        if (worse(entries[i], *pick)) pick = &entries[i];
    }
    return *pick;
}

template <class Entry>
Entry& take_keyed(Entry* entries, std::size_t count) {
    return take_keyed(entries, count, [](const Entry& a, const Entry& b) {
        return a.slot.stamp_ms < b.slot.stamp_ms;
    });
}

}  // namespace tollmar::util
