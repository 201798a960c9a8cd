#include "maildrop/content_blocks.hpp"

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>
#if defined(TOLLMAR_XXH3_DISPATCH) && defined(__x86_64__)
#include <xxh_x86dispatch.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "maildrop/file_io.hpp"

namespace tollmar::maildrop::detail {

namespace {

block_digest* digests = nullptr;
std::int64_t count = 0;     // finished blocks, plus the last one once closed
std::int64_t capacity = 0;  // digests allocated
XXH3_state_t running;
std::int64_t filled = 0;  // bytes in the running block
bool ok = false;
char range_buffer[65536];

bool make_room() {
    if (count < capacity) return true;
    const std::int64_t wanted = capacity < 16 ? 16 : capacity * 2;
    void* grown = std::realloc(digests, static_cast<std::size_t>(wanted) * sizeof *digests);
    if (grown == nullptr) return false;
    digests = static_cast<block_digest*>(grown);
    capacity = wanted;
    return true;
}

void close_block() {
    if (!make_room()) {
        ok = false;
        return;
    }
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&running));
    std::memcpy(digests[count], canonical.digest, content_digest_size);
    ++count;
    filled = 0;
    ok = ok && XXH3_128bits_reset(&running) == XXH_OK;
}

}  // namespace

void blocks_begin() {
    count = 0;
    filled = 0;
    ok = XXH3_128bits_reset(&running) == XXH_OK;
}

bool blocks_append(const block_digest* more, std::int64_t n) {
    for (std::int64_t i = 0; ok && i < n; ++i) {
        if (!make_room()) ok = false;
        if (ok) std::memcpy(digests[count++], more[i], content_digest_size);
    }
    return ok;
}

void blocks_resume(std::int64_t kept) {
    if (kept < count) count = kept;
    filled = 0;
    ok = ok && XXH3_128bits_reset(&running) == XXH_OK;
}

void blocks_add(const char* data, std::size_t length) {
    while (ok && length > 0) {
        const std::int64_t room = guard_block - filled;
        const std::size_t take =
            static_cast<std::int64_t>(length) < room ? length : static_cast<std::size_t>(room);
        ok = XXH3_128bits_update(&running, data, take) == XXH_OK;
        filled += static_cast<std::int64_t>(take);
        data += take;
        length -= take;
        if (filled == guard_block) close_block();
    }
}

bool blocks_finish(std::int64_t length) {
    if (ok && filled > 0) close_block();
    const std::int64_t wanted = (length + guard_block - 1) / guard_block;
    return ok && count == wanted;
}

const block_digest* block_digests() {
    return digests;
}

std::int64_t block_count() {
    return count;
}

bool blocks_of_range(int fd, std::int64_t length) {
    const auto add = [](const char* piece, std::size_t n) {
        blocks_add(piece, n);
        return ok;
    };
    if (ok && !read_range(fd, 0, length, range_buffer, sizeof range_buffer, add)) ok = false;
    return blocks_finish(length);
}

bool digest_span(int fd, std::int64_t from, std::int64_t to, unsigned char* out) {
    XXH3_state_t state;
    if (XXH3_128bits_reset(&state) != XXH_OK) return false;
    const auto add = [&state](const char* piece, std::size_t n) {
        return XXH3_128bits_update(&state, piece, n) == XXH_OK;
    };
    if (!read_range(fd, from, to, range_buffer, sizeof range_buffer, add)) return false;
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&state));
    std::memcpy(out, canonical.digest, content_digest_size);
    return true;
}

bool blocks_match(int fd, std::int64_t length) {
    if ((length + guard_block - 1) / guard_block != count) return false;
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t from = i * guard_block;
        const std::int64_t to = from + guard_block < length ? from + guard_block : length;
        unsigned char digest[content_digest_size];
        if (!digest_span(fd, from, to, digest)) return false;
        if (std::memcmp(digest, digests[i], sizeof digest) != 0) return false;
    }
    return true;
}

}  // namespace tollmar::maildrop::detail
