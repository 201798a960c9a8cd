#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "digest/md5.hpp"

namespace {

using namespace tollmar::digest;

std::string to_hex(const unsigned char* bytes, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string digest_hex(const std::string& data) {
    unsigned char result[16];
    void* returned = md5_digest(data.data(), data.size(), result);
    EXPECT_EQ(returned, result);
    return to_hex(result, 16);
}

// An implementation we did not write, to compare against.
std::string openssl_hex(const void* data, std::size_t n) {
    unsigned char result[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(data, n, result, &length, EVP_md5(), nullptr), 1);
    return to_hex(result, length);
}

std::string pieces_hex(const unsigned char* data, std::size_t n,
                       const std::vector<std::size_t>& cuts) {
    md5_context ctx;
    md5_init(&ctx);
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
        md5_add_bytes(data + at, cut - at, &ctx);
        at = cut;
    }
    md5_add_bytes(data + at, n - at, &ctx);
    unsigned char result[16];
    md5_finish(&ctx, result);
    return to_hex(result, 16);
}

struct vector_case {
    const char* input;
    const char* digest;
};

TEST(Md5Digest, MatchesReferenceVectors) {
    const vector_case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890"
         "123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(digest_hex(c.input), c.digest) << '"' << c.input << '"';
    }
}

// The padding needs a second block once 56 bytes are pending; the lengths
// around the block size are where a slip shows.
TEST(Md5Digest, LengthsAroundBlockBoundaries) {
    const struct {
        std::size_t length;
        const char* digest;
    } cases[] = {
        {55, "ef1772b6dff9a122358552954ad0df65"}, {56, "3b0c8ac703f828b04c6c197006d17218"},
        {63, "b06521f39153d618550606be297466d5"}, {64, "014842d480b571495a4a0363793f7367"},
        {65, "c743a45e0d2e6a95cb859adae0248435"}, {128, "e510683b3f5ffe4093d021808bc6ff70"},
    };
    for (const auto& c : cases) {
        const std::string data(c.length, 'a');
        EXPECT_EQ(digest_hex(data), c.digest) << c.length;
        EXPECT_EQ(digest_hex(data), openssl_hex(data.data(), data.size())) << c.length;
    }
}

TEST(Md5Digest, AgreesWithOpenSslOnRandomInputsAndSplits) {
    std::mt19937 rng(20240611);
    std::vector<unsigned char> data(1200);
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = rng() % data.size();
        for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(rng());
        const std::string expected = openssl_hex(data.data(), n);

        unsigned char result[16];
        md5_digest(data.data(), n, result);
        ASSERT_EQ(to_hex(result, 16), expected) << "length " << n;

        std::vector<std::size_t> cuts;
        const std::size_t pieces = rng() % 6;
        for (std::size_t i = 0; i < pieces && n > 0; ++i) cuts.push_back(rng() % (n + 1));
        std::sort(cuts.begin(), cuts.end());
        ASSERT_EQ(pieces_hex(data.data(), n, cuts), expected) << "length " << n;
    }
}

TEST(Md5AddBytes, EverySplitPointAroundThePendingBuffer) {
    std::vector<unsigned char> data(300);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + 3);
    const std::string expected = openssl_hex(data.data(), data.size());
    for (std::size_t first = 0; first <= 200; ++first) {
        for (std::size_t second :
             {first, first + 1, first + 63, first + 64, first + 65, first + 99}) {
            ASSERT_EQ(pieces_hex(data.data(), data.size(), {first, second}), expected)
                << first << ' ' << second;
        }
    }
}

TEST(Md5Digest, EmptyInputMayHaveNoBuffer) {
    unsigned char result[16];
    md5_digest(nullptr, 0, result);
    EXPECT_EQ(to_hex(result, 16), "d41d8cd98f00b204e9800998ecf8427e");

    md5_context ctx;
    md5_init(&ctx);
    md5_add_bytes("abc", 3, &ctx);
    md5_add_bytes(nullptr, 0, &ctx);
    md5_finish(&ctx, result);
    EXPECT_EQ(to_hex(result, 16), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5AddBytes, ByteByByte) {
    const std::string data(1000, 'q');
    md5_context ctx;
    md5_init(&ctx);
    for (char c : data) md5_add_bytes(&c, 1, &ctx);
    EXPECT_LE(ctx.pending_length, 64u);
    unsigned char result[16];
    md5_finish(&ctx, result);
    EXPECT_EQ(to_hex(result, 16), openssl_hex(data.data(), data.size()));
}

TEST(Md5Read, GivesStateWithoutPadding) {
    md5_context ctx;
    md5_init(&ctx);
    unsigned char result[16];
    EXPECT_EQ(md5_read(&ctx, result), result);
    EXPECT_EQ(to_hex(result, 16), "0123456789abcdeffedcba9876543210");

    unsigned char block[64] = {};
    md5_add_blocks(block, sizeof block, &ctx);
    md5_read(&ctx, result);
    EXPECT_NE(to_hex(result, 16), "0123456789abcdeffedcba9876543210");
    EXPECT_EQ(ctx.total_bytes[0], 64u);
}

TEST(Md5AddBlocks, ByteCountCarriesIntoHighWord) {
    md5_context ctx;
    md5_init(&ctx);
    ctx.total_bytes[0] = 0xffffffe0u;
    unsigned char block[64] = {};
    md5_add_blocks(block, sizeof block, &ctx);
    EXPECT_EQ(ctx.total_bytes[0], 0x20u);
    EXPECT_EQ(ctx.total_bytes[1], 1u);
}

// Two contexts differing only in the high word of the count must finish
// differently: the high word reaches the encoded bit length.
TEST(Md5Finish, EncodesTheHighWordOfTheLength) {
    md5_context low, high;
    md5_init(&low);
    md5_init(&high);
    high.total_bytes[1] = 1;
    unsigned char a[16], b[16];
    md5_finish(&low, a);
    md5_finish(&high, b);
    EXPECT_NE(std::memcmp(a, b, 16), 0);
    EXPECT_EQ(to_hex(a, 16), "d41d8cd98f00b204e9800998ecf8427e");
}

}  // namespace
