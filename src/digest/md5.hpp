// MD5 message digest (RFC 1321) on fixed buffers; nothing is allocated.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tollmar::digest {

struct md5_context {
    std::uint32_t state[4];        // A, B, C, D
    std::uint32_t total_bytes[2];  // low word, then high word
    std::uint32_t pending_length;
    unsigned char pending[128];
};

void md5_init(md5_context* ctx);
// length must be a multiple of 64.
void md5_add_blocks(const void* data, std::size_t length, md5_context* ctx);
void md5_add_bytes(const void* data, std::size_t length, md5_context* ctx);
void* md5_finish(md5_context* ctx, void* result);
void* md5_read(const md5_context* ctx, void* result);
void* md5_digest(const void* data, std::size_t length, void* result);

}  // namespace tollmar::digest
