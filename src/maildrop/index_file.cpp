#include "maildrop/index_file.hpp"

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>
#if defined(TOLLMAR_XXH3_DISPATCH) && defined(__x86_64__)
#include <xxh_x86dispatch.h>
#endif

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "maildrop/content_blocks.hpp"
#include "maildrop/file_io.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/table_growth.hpp"

namespace tollmar::maildrop::detail {

namespace {

constexpr char magic[8] = {'T', 'L', 'M', 'R', 'I', 'X', '0', '1'};
constexpr std::size_t header_size = 80;
constexpr std::size_t record_size = 44;
constexpr std::size_t check_size = 16;
// Whole records and digests per buffer; small, since a login from the index
// needs no other large buffer.
constexpr std::size_t buffer_records = 372;
unsigned char buffer[buffer_records * record_size];

void put64(unsigned char* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
std::uint64_t get64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}
std::uint32_t get32(const unsigned char* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | p[i];
    return v;
}
std::int64_t gets64(const unsigned char* p) {
    return static_cast<std::int64_t>(get64(p));
}

// Reads n bytes into buffer; fewer only at the end of the file.
std::size_t read_up_to(int fd, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = read_some(fd, buffer + done, n - done);
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// Reads exactly n bytes into buffer and adds them to the check.
bool take(int fd, std::size_t n, XXH3_state_t& check) {
    if (read_up_to(fd, n) != n) return false;
    return XXH3_128bits_update(&check, buffer, n) == XXH_OK;
}

bool fail(message_table& messages, const char* reason, const char** why) {
    *why = reason;
    release_message_table(messages);
    return false;
}

// One record into a new entry; false when it does not follow the one before.
bool add_record(message_table& messages, const unsigned char* p, std::int64_t& at) {
    const std::int64_t offset = gets64(p);
    const std::int64_t length = gets64(p + 8);
    const std::int64_t size = gets64(p + 16);
    const std::uint32_t occurrence = get32(p + 24);
    // "From " at least; a size counts each byte at most twice (a bare LF
    // becomes CR LF).
    if (offset != at || length < 5 || length > INT64_MAX - at || size < 0 || size / 2 > length ||
        occurrence > static_cast<std::uint32_t>(INT32_MAX))
        return false;
    message_entry* entry = append_entry(messages);
    if (entry == nullptr) return false;
    entry->offset = offset;
    entry->spool_length = length;
    entry->size = size;
    entry->occurrence = occurrence;
    std::memcpy(entry->digest, p + 28, sizeof entry->digest);
    at += length;
    return true;
}

bool read_header(message_table& messages, int fd, index_identity& identity, std::int64_t& count,
                 std::int64_t& blocks, XXH3_state_t& check, const char** why) {
    if (!take(fd, header_size, check)) return fail(messages, "truncated", why);
    if (std::memcmp(buffer, magic, sizeof magic) != 0) return fail(messages, "not an index", why);
    identity.device = get64(buffer + 8);
    identity.inode = get64(buffer + 16);
    identity.ctime_sec = gets64(buffer + 24);
    identity.ctime_nsec = gets64(buffer + 32);
    identity.length = gets64(buffer + 40);
    identity.indexed = gets64(buffer + 48);
    identity.flags = get32(buffer + 56);
    count = gets64(buffer + 64);
    blocks = gets64(buffer + 72);
    if (get32(buffer + 60) != 0 || identity.indexed < 0 || identity.length < identity.indexed ||
        count < 0 || count > INT32_MAX ||
        blocks != (identity.indexed + guard_block - 1) / guard_block)
        return fail(messages, "damaged", why);
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail(messages, "truncated", why);
    const auto whole = static_cast<std::uint64_t>(header_size) +
                       static_cast<std::uint64_t>(count) * record_size +
                       static_cast<std::uint64_t>(blocks) * content_digest_size + check_size;
    // Unpadded: written by an earlier version.
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size != whole && size != index_padded_size(whole)) return fail(messages, "truncated", why);
    return true;
}

}  // namespace

std::uint64_t index_padded_size(std::uint64_t size) {
    std::uint64_t padded = 64 * 1024;
    while (padded < size) padded *= 2;
    return padded;
}

bool read_index(message_table& messages, int fd, index_identity& identity, const char** why) {
    release_message_table(messages);
    messages.in_place = true;
    XXH3_state_t check;
    if (XXH3_128bits_reset(&check) != XXH_OK) return fail(messages, "no memory", why);
    std::int64_t count = 0;
    std::int64_t blocks = 0;
    if (!read_header(messages, fd, identity, count, blocks, check, why)) return false;
    std::int64_t at = 0;
    for (std::int64_t left = count; left > 0;) {
        const std::int64_t n = left < static_cast<std::int64_t>(buffer_records)
                                   ? left
                                   : static_cast<std::int64_t>(buffer_records);
        if (!take(fd, static_cast<std::size_t>(n) * record_size, check))
            return fail(messages, "truncated", why);
        for (std::int64_t i = 0; i < n; ++i)
            if (!add_record(messages, buffer + i * record_size, at))
                return fail(messages, "damaged", why);
        left -= n;
    }
    if (at != identity.indexed) return fail(messages, "damaged", why);
    blocks_begin();
    for (std::int64_t left = blocks; left > 0;) {
        const std::int64_t n = left < static_cast<std::int64_t>(buffer_records)
                                   ? left
                                   : static_cast<std::int64_t>(buffer_records);
        if (!take(fd, static_cast<std::size_t>(n) * content_digest_size, check))
            return fail(messages, "truncated", why);
        if (!blocks_append(reinterpret_cast<const block_digest*>(buffer), n))
            return fail(messages, "no memory", why);
        left -= n;
    }
    XXH128_canonical_t expected;
    XXH128_canonicalFromHash(&expected, XXH3_128bits_digest(&check));
    if (read_up_to(fd, check_size) != check_size ||
        std::memcmp(buffer, expected.digest, check_size) != 0)
        return fail(messages, "damaged", why);
    return true;
}

namespace {

struct index_writer {
    int fd;
    std::size_t used;
    XXH3_state_t check;
    bool ok;
};

void flush(index_writer& w) {
    if (w.ok && w.used > 0) w.ok = write_all(w.fd, buffer, w.used);
    w.used = 0;
}

void put(index_writer& w, const unsigned char* data, std::size_t n) {
    if (w.used + n > sizeof buffer) flush(w);
    std::memcpy(buffer + w.used, data, n);
    w.used += n;
    if (w.ok) w.ok = XXH3_128bits_update(&w.check, data, n) == XXH_OK;
}

}  // namespace

bool write_index(const message_table& messages, int fd, const index_identity& identity) {
    index_writer w = {fd, 0, {}, XXH3_128bits_reset(&w.check) == XXH_OK};
    unsigned char header[header_size] = {};
    std::memcpy(header, magic, sizeof magic);
    put64(header + 8, identity.device);
    put64(header + 16, identity.inode);
    put64(header + 24, static_cast<std::uint64_t>(identity.ctime_sec));
    put64(header + 32, static_cast<std::uint64_t>(identity.ctime_nsec));
    put64(header + 40, static_cast<std::uint64_t>(identity.length));
    put64(header + 48, static_cast<std::uint64_t>(identity.indexed));
    put32(header + 56, identity.flags);
    put64(header + 64, static_cast<std::uint64_t>(messages.count));
    put64(header + 72, static_cast<std::uint64_t>(block_count()));
    put(w, header, sizeof header);
    for (std::int32_t i = 0; i < messages.count; ++i) {
        const message_entry& entry = messages.entries[i];
        unsigned char record[record_size];
        put64(record, static_cast<std::uint64_t>(entry.offset));
        put64(record + 8, static_cast<std::uint64_t>(entry.spool_length));
        put64(record + 16, static_cast<std::uint64_t>(entry.size));
        put32(record + 24, entry.occurrence);
        std::memcpy(record + 28, entry.digest, sizeof entry.digest);
        put(w, record, sizeof record);
    }
    for (std::int64_t i = 0; i < block_count(); ++i)
        put(w, block_digests()[i], content_digest_size);
    XXH128_canonical_t sum;
    XXH128_canonicalFromHash(&sum, XXH3_128bits_digest(&w.check));
    put(w, sum.digest, sizeof sum.digest);
    flush(w);
    const std::uint64_t whole =
        header_size + static_cast<std::uint64_t>(messages.count) * record_size +
        static_cast<std::uint64_t>(block_count()) * content_digest_size + check_size;
    std::memset(buffer, 0, sizeof buffer);
    for (std::uint64_t left = index_padded_size(whole) - whole; w.ok && left > 0;) {
        const std::size_t n = left < sizeof buffer ? static_cast<std::size_t>(left) : sizeof buffer;
        w.ok = write_all(fd, buffer, n);
        left -= n;
    }
    if (!w.ok && errno == 0) errno = EIO;
    return w.ok;
}

}  // namespace tollmar::maildrop::detail
