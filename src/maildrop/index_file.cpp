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
#include "util/codec.hpp"

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

// One record into a new entry; the cursor refused when it does not follow
// the one before (or was refused already).
void add_record(message_table& messages, util::cursor& c, std::int64_t& at) {
    const std::int64_t offset = util::get_i64(c);
    const std::int64_t length = util::get_i64(c);
    const std::int64_t size = util::get_i64(c);
    const std::uint32_t occurrence = util::get_u32(c);
    const unsigned char* digest = util::get_bytes(c, sizeof message_entry::digest);
    // "From " at least; a size counts each byte at most twice (a bare LF
    // becomes CR LF).
    if (digest == nullptr || offset != at || length < 5 || length > INT64_MAX - at || size < 0 ||
        size / 2 > length || occurrence > static_cast<std::uint32_t>(INT32_MAX)) {
        util::refuse(c, "damaged");
        return;
    }
    message_entry* entry = append_entry(messages);
    if (entry == nullptr) {
        util::refuse(c, "no memory");
        return;
    }
    entry->offset = offset;
    entry->spool_length = length;
    entry->size = size;
    entry->occurrence = occurrence;
    std::memcpy(entry->digest, digest, sizeof entry->digest);
    at += length;
}

// The header's fields; the refusal, nullptr when it is sound and the file
// has the size it gives.
const char* read_header(int fd, index_identity& identity, std::int64_t& count, std::int64_t& blocks,
                        XXH3_state_t& check) {
    if (!take(fd, header_size, check)) return "truncated";
    util::cursor c = util::read_from(buffer, header_size);
    if (!util::get_expected(c, magic, sizeof magic)) util::refuse(c, "not an index");
    identity.device = util::get_u64(c);
    identity.inode = util::get_u64(c);
    identity.ctime_sec = util::get_i64(c);
    identity.ctime_nsec = util::get_i64(c);
    identity.length = util::get_i64(c);
    identity.indexed = util::get_i64(c);
    identity.flags = util::get_u32(c);
    const std::uint32_t zero = util::get_u32(c);
    count = util::get_i64(c);
    blocks = util::get_i64(c);
    if (!util::refused(c) &&
        (zero != 0 || identity.indexed < 0 || identity.length < identity.indexed || count < 0 ||
         count > INT32_MAX || blocks != (identity.indexed + guard_block - 1) / guard_block))
        util::refuse(c, "damaged");
    if (!util::get_end(c, nullptr)) return c.refusal;
    struct stat st;
    if (::fstat(fd, &st) != 0) return "truncated";
    const auto whole = static_cast<std::uint64_t>(header_size) +
                       static_cast<std::uint64_t>(count) * record_size +
                       static_cast<std::uint64_t>(blocks) * content_digest_size + check_size;
    // Unpadded: written by an earlier version.
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size != whole && size != index_padded_size(whole)) return "truncated";
    return nullptr;
}

// Reads the whole index into the table; the refusal, nullptr when none.
const char* read_all(message_table& messages, int fd, index_identity& identity) {
    XXH3_state_t check;
    if (XXH3_128bits_reset(&check) != XXH_OK) return "no memory";
    std::int64_t count = 0;
    std::int64_t blocks = 0;
    if (const char* refusal = read_header(fd, identity, count, blocks, check)) return refusal;
    std::int64_t at = 0;
    for (std::int64_t left = count; left > 0;) {
        const std::int64_t n = left < static_cast<std::int64_t>(buffer_records)
                                   ? left
                                   : static_cast<std::int64_t>(buffer_records);
        const std::size_t bytes = static_cast<std::size_t>(n) * record_size;
        if (!take(fd, bytes, check)) return "truncated";
        util::cursor c = util::read_from(buffer, bytes);
        for (std::int64_t i = 0; i < n; ++i) add_record(messages, c, at);
        if (!util::get_end(c, nullptr)) return c.refusal;
        left -= n;
    }
    if (at != identity.indexed) return "damaged";
    blocks_begin();
    for (std::int64_t left = blocks; left > 0;) {
        const std::int64_t n = left < static_cast<std::int64_t>(buffer_records)
                                   ? left
                                   : static_cast<std::int64_t>(buffer_records);
        if (!take(fd, static_cast<std::size_t>(n) * content_digest_size, check)) return "truncated";
        if (!blocks_append(reinterpret_cast<const block_digest*>(buffer), n)) return "no memory";
        left -= n;
    }
    XXH128_canonical_t expected;
    XXH128_canonicalFromHash(&expected, XXH3_128bits_digest(&check));
    if (read_up_to(fd, check_size) != check_size ||
        std::memcmp(buffer, expected.digest, check_size) != 0)
        return "damaged";
    return nullptr;
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
    const char* refusal = read_all(messages, fd, identity);
    if (refusal == nullptr) return true;
    *why = refusal;
    release_message_table(messages);
    return false;
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
    unsigned char header[header_size];
    util::writer h = util::write_into(header, sizeof header);
    util::put_bytes(h, magic, sizeof magic);
    util::put_u64(h, identity.device);
    util::put_u64(h, identity.inode);
    util::put_i64(h, identity.ctime_sec);
    util::put_i64(h, identity.ctime_nsec);
    util::put_i64(h, identity.length);
    util::put_i64(h, identity.indexed);
    util::put_u32(h, identity.flags);
    util::put_u32(h, 0);
    util::put_i64(h, messages.count);
    util::put_i64(h, block_count());
    put(w, header, util::written(h));
    for (std::int32_t i = 0; i < messages.count; ++i) {
        const message_entry& entry = messages.entries[i];
        unsigned char record[record_size];
        util::writer r = util::write_into(record, sizeof record);
        util::put_i64(r, entry.offset);
        util::put_i64(r, entry.spool_length);
        util::put_i64(r, entry.size);
        util::put_u32(r, entry.occurrence);
        util::put_bytes(r, entry.digest, sizeof entry.digest);
        put(w, record, util::written(r));
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
