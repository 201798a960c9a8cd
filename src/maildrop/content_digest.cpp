#include "maildrop/content_digest.hpp"

// The state on its own, without an allocation that could fail mid-scan.
#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>
#if defined(TOLLMAR_XXH3_DISPATCH) && defined(__x86_64__)
// The library's run-time choice of AVX2 or AVX-512 where the processor has
// them (see CMakeLists.txt).
#include <xxh_x86dispatch.h>
#endif

#include <cerrno>

#include "maildrop/file_io.hpp"

namespace tollmar::maildrop::detail {

namespace {

XXH3_state_t running;
bool running_ok = false;
char range_buffer[65536];

}  // namespace

void digest_begin() {
    running_ok = XXH3_128bits_reset(&running) == XXH_OK;
}

void digest_add(const char* data, std::size_t length) {
    if (running_ok && length > 0)
        running_ok = XXH3_128bits_update(&running, data, length) == XXH_OK;
}

bool digest_finish(unsigned char* out) {
    const bool ok = running_ok;
    if (ok) {
        XXH128_canonical_t canonical;
        XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&running));
        static_assert(sizeof canonical.digest == content_digest_size);
        for (std::size_t i = 0; i < content_digest_size; ++i) out[i] = canonical.digest[i];
    }
    running_ok = false;
    return ok;
}

bool digest_range(int fd, std::int64_t length, unsigned char* out) {
    digest_begin();
    const auto add = [](const char* piece, std::size_t n) {
        digest_add(piece, n);
        return true;
    };
    if (!read_range(fd, 0, length, range_buffer, sizeof range_buffer, add)) {
        running_ok = false;
        return false;
    }
    return digest_finish(out);
}

}  // namespace tollmar::maildrop::detail
