// The index reader. The input is taken as an index file, its last 16 bytes
// replaced by the right check value so that the fuzzer reaches the checks
// behind it (a wrong check value is refused before anything else counts).
// Whatever it holds,
// the reader either refuses it, leaving an empty table, or accepts a table
// whose records lie one after the other from offset 0 to the indexed length
// within the maildrop length, with one block digest per started block; and an
// accepted index written out again is the very same bytes, padded.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include "maildrop/content_blocks.hpp"
#include "maildrop/index_file.hpp"
#include "maildrop/message_table.hpp"

namespace {

tollmar::maildrop::message_table messages = {};

int memory_file(const char* name) {
    const int fd = memfd_create(name, MFD_CLOEXEC);
    if (fd < 0) std::abort();
    return fd;
}

std::string contents(int fd) {
    std::string out;
    char buf[65536];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(fd, buf, sizeof buf, at)) > 0) {
        out.append(buf, static_cast<std::size_t>(n));
        at += n;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tollmar::maildrop;
    static const int in = memory_file("index-in");
    static const int out = memory_file("index-out");
    std::string bytes(reinterpret_cast<const char*>(data), size);
    if (size >= 16) {
        XXH128_canonical_t check;
        XXH128_canonicalFromHash(&check, XXH3_128bits(bytes.data(), size - 16));
        std::memcpy(bytes.data() + size - 16, check.digest, 16);
    }
    if (ftruncate(in, 0) != 0 || pwrite(in, bytes.data(), size, 0) != static_cast<ssize_t>(size) ||
        lseek(in, 0, SEEK_SET) != 0)
        std::abort();
    detail::index_identity identity = {};
    const char* why = nullptr;
    if (!detail::read_index(messages, in, identity, &why)) {
        if (messages.count != 0 || why == nullptr) std::abort();
        return 0;
    }
    std::int64_t at = 0;
    for (std::int32_t i = 0; i < messages.count; ++i) {
        const message_entry& entry = messages.entries[i];
        if (entry.offset != at || entry.spool_length <= 0) std::abort();
        at += entry.spool_length;
    }
    if (at != identity.indexed || identity.indexed > identity.length ||
        detail::block_count() != (identity.indexed + detail::guard_block - 1) / detail::guard_block)
        std::abort();
    if (ftruncate(out, 0) != 0 || lseek(out, 0, SEEK_SET) != 0 ||
        !detail::write_index(messages, out, identity))
        std::abort();
    // The same bytes again, up to the check value; then the zeros that pad
    // every index written now to its size step (an earlier version's index,
    // unpadded, is read as well).
    const std::size_t whole =
        80 + 44 * static_cast<std::size_t>(messages.count) +
        detail::content_digest_size * static_cast<std::size_t>(detail::block_count()) + 16;
    const std::string again = contents(out);
    if (again.size() != detail::index_padded_size(whole) ||
        again.compare(0, whole, bytes, 0, whole) != 0 ||
        again.find_first_not_of('\0', whole) != std::string::npos)
        std::abort();
    release_message_table(messages);
    return 0;
}
