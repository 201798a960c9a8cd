#include "digest/md5.hpp"

#include <cstring>
#include <utility>

namespace tollmar::digest {

namespace {

// Per-step additive constants: floor(abs(sin(i + 1)) * 2^32).
constexpr std::uint32_t sine_table[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Left-rotation amounts, four per round.
constexpr unsigned rotations[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

std::uint32_t rotate_left(std::uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

// Message words are little-endian whatever the host; reading byte by byte
// also makes any alignment of the caller's data acceptable.
std::uint32_t load_le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void store_le32(std::uint32_t v, unsigned char* p) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

// One step of the sixteen per round. Every index is known when it is
// compiled, so the rounds unroll into straight code on four registers: the
// register that plays `a` in this step takes the result, and the roles
// rotate by one place per step.
template <int step>
void md5_step(std::uint32_t regs[4], const std::uint32_t words[16]) {
    constexpr int round = step / 16;
    constexpr int a = (4 - step % 4) % 4;
    constexpr int b = (a + 1) % 4;
    constexpr int c = (a + 2) % 4;
    constexpr int d = (a + 3) % 4;
    std::uint32_t f;
    int index;
    if constexpr (round == 0) {
        f = (regs[b] & regs[c]) | (~regs[b] & regs[d]);
        index = step;
    } else if constexpr (round == 1) {
        f = (regs[b] & regs[d]) | (regs[c] & ~regs[d]);
        index = (5 * step + 1) % 16;
    } else if constexpr (round == 2) {
        f = regs[b] ^ regs[c] ^ regs[d];
        index = (3 * step + 5) % 16;
    } else {
        f = regs[c] ^ (regs[b] | ~regs[d]);
        index = (7 * step) % 16;
    }
    const std::uint32_t sum = regs[a] + f + sine_table[step] + words[index];
    regs[a] = regs[b] + rotate_left(sum, rotations[round][step % 4]);
}

template <int... steps>
void md5_steps(std::uint32_t regs[4], const std::uint32_t words[16],
               std::integer_sequence<int, steps...>) {
    (md5_step<steps>(regs, words), ...);
}

// The four rounds of sixteen steps over one 64-byte block.
void compress_block(const unsigned char* block, std::uint32_t state[4]) {
    std::uint32_t words[16];
    for (int i = 0; i < 16; ++i) words[i] = load_le32(block + 4 * i);
    std::uint32_t regs[4] = {state[0], state[1], state[2], state[3]};
    md5_steps(regs, words, std::make_integer_sequence<int, 64>());
    for (int i = 0; i < 4; ++i) state[i] += regs[i];
}

void compress_blocks(const unsigned char* data, std::size_t length, std::uint32_t state[4]) {
    for (std::size_t offset = 0; offset + 64 <= length; offset += 64) {
        compress_block(data + offset, state);
    }
}

// total_bytes is one 64-bit count kept as two words; the low word carries.
void count_bytes(std::size_t length, md5_context* ctx) {
    const std::uint64_t total =
        (static_cast<std::uint64_t>(ctx->total_bytes[1]) << 32 | ctx->total_bytes[0]) + length;
    ctx->total_bytes[0] = static_cast<std::uint32_t>(total);
    ctx->total_bytes[1] = static_cast<std::uint32_t>(total >> 32);
}

}  // namespace

void md5_init(md5_context* ctx) {
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->total_bytes[0] = 0;
    ctx->total_bytes[1] = 0;
    ctx->pending_length = 0;
}

void md5_add_blocks(const void* data, std::size_t length, md5_context* ctx) {
    compress_blocks(static_cast<const unsigned char*>(data), length, ctx->state);
    count_bytes(length, ctx);
}

void md5_add_bytes(const void* data, std::size_t length, md5_context* ctx) {
    if (length == 0) return;  // data may then be null
    const unsigned char* input = static_cast<const unsigned char*>(data);

    if (ctx->pending_length != 0) {
        const std::size_t room = sizeof ctx->pending - ctx->pending_length;
        const std::size_t taken = length < room ? length : room;
        std::memcpy(ctx->pending + ctx->pending_length, input, taken);
        ctx->pending_length += static_cast<std::uint32_t>(taken);
        input += taken;
        length -= taken;

        if (ctx->pending_length > 64) {
            const std::uint32_t whole = ctx->pending_length & ~63u;
            md5_add_blocks(ctx->pending, whole, ctx);
            ctx->pending_length -= whole;
            std::memmove(ctx->pending, ctx->pending + whole, ctx->pending_length);
        }
    }

    // Whole blocks go straight from the caller's data, without a copy.
    if (length > 64) {
        const std::size_t whole = length & ~static_cast<std::size_t>(63);
        md5_add_blocks(input, whole, ctx);
        input += whole;
        length -= whole;
    }

    if (length > 0) {
        std::memcpy(ctx->pending + ctx->pending_length, input, length);
        ctx->pending_length += static_cast<std::uint32_t>(length);
    }
}

void* md5_finish(md5_context* ctx, void* result) {
    std::uint32_t pending = ctx->pending_length;
    count_bytes(pending, ctx);
    const std::uint32_t padded = pending < 56 ? 64 : 128;

    ctx->pending[pending] = 0x80;
    std::memset(ctx->pending + pending + 1, 0, padded - 8 - pending - 1);
    // The message length in bits, as a 64-bit little-endian number.
    store_le32(ctx->total_bytes[0] << 3, ctx->pending + padded - 8);
    store_le32(ctx->total_bytes[1] << 3 | ctx->total_bytes[0] >> 29, ctx->pending + padded - 4);

    compress_blocks(ctx->pending, padded, ctx->state);
    ctx->pending_length = 0;
    return md5_read(ctx, result);
}

void* md5_read(const md5_context* ctx, void* result) {
    unsigned char* out = static_cast<unsigned char*>(result);
    for (int i = 0; i < 4; ++i) store_le32(ctx->state[i], out + 4 * i);
    return result;
}

void* md5_digest(const void* data, std::size_t length, void* result) {
    const unsigned char* input = static_cast<const unsigned char*>(data);
    md5_context ctx;
    md5_init(&ctx);
    if (length > 64) {
        const std::size_t whole = length & ~static_cast<std::size_t>(63);
        md5_add_blocks(input, whole, &ctx);
        input += whole;
        length -= whole;
    }
    if (length > 0) std::memcpy(ctx.pending, input, length);
    ctx.pending_length = static_cast<std::uint32_t>(length);
    return md5_finish(&ctx, result);
}

}  // namespace tollmar::digest
