// SipHash-2-4 against the reference vectors (key 00..0f, message 00..n-1),
// across the lengths that take each path of the last block.
#include "digest/siphash.hpp"

#include <gtest/gtest.h>

namespace {

TEST(SipHash, ReferenceVectors) {
    unsigned char key[16];
    unsigned char message[64];
    for (unsigned i = 0; i < sizeof key; ++i) key[i] = static_cast<unsigned char>(i);
    for (unsigned i = 0; i < sizeof message; ++i) message[i] = static_cast<unsigned char>(i);
    const struct {
        std::size_t length;
        std::uint64_t hash;
    } cases[] = {
        {0, 0x726fdb47dd0e0e31ULL}, {1, 0x74f839c593dc67fdULL},  {7, 0xab0200f58b01d137ULL},
        {8, 0x93f5f5799a932462ULL}, {15, 0xa129ca6149be45e5ULL}, {63, 0x958a324ceb064572ULL},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tollmar::digest::siphash24(key, message, c.length), c.hash) << c.length;
    }
    key[0] ^= 1;  // another key, another hash
    EXPECT_NE(tollmar::digest::siphash24(key, message, 15), 0xa129ca6149be45e5ULL);
}

}  // namespace
