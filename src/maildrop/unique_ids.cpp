#include "maildrop/unique_ids.hpp"

#include <sys/random.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "digest/md5.hpp"
#include "digest/siphash.hpp"
#include "maildrop/file_io.hpp"

namespace tollmar::maildrop {

namespace {

// A unique-id covers at most this many leading bytes; clients keep the ids
// they saw, so the span never changes.
constexpr std::size_t head_span = 255;

// The message being copied.
unsigned char head[head_span];
std::size_t head_length = 0;
bool head_settled = false;  // its head digest is known and looked up
bool later = false;         // an earlier message has the same head digest
digest::md5_context whole;

// Open addressing over table indices, keyed by the digest held in the entry:
// an index per message whose id is claimed, so a lookup costs the same for
// the millionth message as for the first. The keyed hash (SipHash, as for the
// server's other tables of client-chosen keys) keeps a sender who picks
// message heads from steering them into one run of slots. It places entries
// only: the ids handed to clients are the digests, never this hash.
std::int32_t* slots = nullptr;
std::size_t slot_count = 0;  // a power of two, or 0
std::size_t used = 0;
unsigned char key[digest::siphash_key_size];
bool keyed = false;

std::uint64_t slot_hash(const unsigned char* digest) {
    return digest::siphash24(key, digest, sizeof message_entry::digest);
}

// The slot that holds the entry with this digest, or the empty one where it
// would go.
std::size_t find_slot(const message_table& messages, const std::int32_t* table, std::size_t count,
                      const unsigned char* digest) {
    std::size_t at = static_cast<std::size_t>(slot_hash(digest)) & (count - 1);
    while (table[at] >= 0 && std::memcmp(messages.entries[table[at]].digest, digest,
                                         sizeof messages.entries->digest) != 0)
        at = (at + 1) & (count - 1);
    return at;
}

void free_slots() {
    std::free(slots);
    slots = nullptr;
    slot_count = 0;
    used = 0;
}

// Keeps the table at most half full, so probe runs stay short.
bool make_room(const message_table& messages) {
    if ((used + 1) * 2 <= slot_count) return true;
    const std::size_t grown = slot_count == 0 ? 1024 : slot_count * 2;
    auto* table = static_cast<std::int32_t*>(std::malloc(grown * sizeof *slots));
    if (table == nullptr) return false;
    std::memset(table, 0xff, grown * sizeof *slots);  // every slot -1: empty
    for (std::size_t i = 0; i < slot_count; ++i) {
        if (slots[i] >= 0)
            table[find_slot(messages, table, grown, messages.entries[slots[i]].digest)] = slots[i];
    }
    std::free(slots);
    slots = table;
    slot_count = grown;
    return true;
}

// The entry index that holds this digest, or -1 after `index` was recorded
// as its holder; -2 when the table cannot grow.
std::int32_t claim(const message_table& messages, const unsigned char* digest, std::int32_t index) {
    if (!make_room(messages)) return -2;
    const std::size_t at = find_slot(messages, slots, slot_count, digest);
    if (slots[at] >= 0) return slots[at];
    slots[at] = index;
    ++used;
    return -1;
}

message_entry& current_entry(message_table& messages) {
    return messages.entries[messages.count - 1];
}

bool settle_head(message_table& messages) {
    message_entry& entry = current_entry(messages);
    digest::md5_digest(head, head_length, entry.digest);
    head_settled = true;
    const std::int32_t holder = claim(messages, entry.digest, messages.count - 1);
    if (holder == -2) return false;
    later = holder >= 0;
    if (later) {
        digest::md5_init(&whole);
        digest::md5_add_bytes(head, head_length, &whole);
    }
    return true;
}

std::uint32_t word_at(const unsigned char* b) {
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

}  // namespace

void format_unique_id(const message_entry& entry, char* id) {
    // Four 32-bit words, each assembled least significant byte first.
    const int n = std::snprintf(id, unique_id_capacity, "%08lx%08lx%08lx%08lx",
                                static_cast<unsigned long>(word_at(entry.digest)),
                                static_cast<unsigned long>(word_at(entry.digest + 4)),
                                static_cast<unsigned long>(word_at(entry.digest + 8)),
                                static_cast<unsigned long>(word_at(entry.digest + 12)));
    if (entry.occurrence != 0 && n > 0)
        std::snprintf(id + n, unique_id_capacity - static_cast<std::size_t>(n), ".%lu",
                      static_cast<unsigned long>(entry.occurrence));
}

namespace detail {

void begin_unique_ids() {
    free_slots();
    if (!keyed && getrandom(key, sizeof key, GRND_NONBLOCK) != sizeof key) {
        const std::uint64_t fallback =
            static_cast<std::uint64_t>(std::time(nullptr)) * 0x9e3779b97f4a7c15ULL ^
            static_cast<std::uint64_t>(getpid());
        std::memcpy(key, &fallback, sizeof fallback);
        std::memcpy(key + sizeof fallback, &fallback, sizeof fallback);
    }
    keyed = true;
}

void start_message_id() {
    head_length = 0;
    head_settled = false;
    later = false;
}

bool add_message_bytes(message_table& messages, const char* bytes, std::size_t length) {
    if (!head_settled) {
        const std::size_t take =
            length < head_span - head_length ? length : head_span - head_length;
        std::memcpy(head + head_length, bytes, take);
        head_length += take;
        bytes += take;
        length -= take;
        if (head_length < head_span) return true;
        if (!settle_head(messages)) return false;
    }
    if (later && length > 0) digest::md5_add_bytes(bytes, length, &whole);
    return true;
}

bool finish_message_id(message_table& messages) {
    if (!head_settled && !settle_head(messages)) return false;
    message_entry& entry = current_entry(messages);
    entry.occurrence = later ? 1 : 0;  // numbered by end_unique_ids
    if (later) digest::md5_finish(&whole, entry.digest);
    return true;
}

bool end_unique_ids(message_table& messages, bool scan_succeeded) {
    free_slots();
    bool ok = scan_succeeded;
    // Among messages that lost their head id, those with one whole digest
    // (exact copies) count up in maildrop order.
    for (std::int32_t i = 0; ok && i < messages.count; ++i) {
        message_entry& entry = messages.entries[i];
        if (entry.occurrence == 0) continue;
        if (!make_room(messages)) {
            ok = false;
            break;
        }
        const std::size_t at = find_slot(messages, slots, slot_count, entry.digest);
        if (slots[at] >= 0) {
            entry.occurrence = messages.entries[slots[at]].occurrence + 1;
        } else {
            ++used;
        }
        slots[at] = i;
    }
    free_slots();
    return ok;
}

bool seed_unique_ids(message_table& messages) {
    for (std::int32_t i = 0; i < messages.count; ++i) {
        message_entry& entry = messages.entries[i];
        if (entry.occurrence != 0) {
            entry.occurrence = 1;  // numbered again by end_unique_ids
            continue;
        }
        if (claim(messages, entry.digest, i) != -1) return false;
    }
    return true;
}

bool head_digest_at(int fd, std::int64_t offset, std::int64_t length, unsigned char* digest) {
    unsigned char bytes[head_span];
    const std::size_t want = length < static_cast<std::int64_t>(head_span)
                                 ? static_cast<std::size_t>(length < 0 ? 0 : length)
                                 : head_span;
    if (pread_full(fd, bytes, want, static_cast<off_t>(offset)) != static_cast<ssize_t>(want))
        return false;
    digest::md5_digest(bytes, want, digest);
    return true;
}

bool resettle_unique_ids(message_table& messages, int fd) {
    begin_unique_ids();
    bool ok = true;
    for (std::int32_t i = 0; ok && i < messages.count; ++i) {
        message_entry& entry = messages.entries[i];
        if (entry.occurrence == 0) {
            ok = claim(messages, entry.digest, i) == -1;
            continue;
        }
        unsigned char whole_digest[sizeof entry.digest];
        std::memcpy(whole_digest, entry.digest, sizeof whole_digest);
        ok = head_digest_at(fd, entry.offset, entry.spool_length, entry.digest);
        if (!ok) break;
        // The slot compares with the holder's digest: the entry holds its head
        // digest while it claims, and keeps it only if it becomes the holder.
        const std::int32_t holder = claim(messages, entry.digest, i);
        if (holder == -2) ok = false;
        if (holder == -1) entry.occurrence = 0;
        if (holder >= 0) {
            std::memcpy(entry.digest, whole_digest, sizeof whole_digest);
            entry.occurrence = 1;
        }
    }
    return end_unique_ids(messages, ok);
}

}  // namespace detail
}  // namespace tollmar::maildrop
