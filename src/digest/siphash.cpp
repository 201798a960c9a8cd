#include "digest/siphash.hpp"

#include <cstring>

namespace tollmar::digest {

namespace {

std::uint64_t rotl(std::uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

// Little-endian, whatever the host.
std::uint64_t load64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

struct state {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }

    void absorb(std::uint64_t m) {
        v3 ^= m;
        round();
        round();
        v0 ^= m;
    }
};

}  // namespace

std::uint64_t siphash24(const unsigned char key[siphash_key_size], const void* data,
                        std::size_t size) {
    const std::uint64_t k0 = load64(key);
    const std::uint64_t k1 = load64(key + 8);
    state s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
            k1 ^ 0x7465646279746573ULL};
    const auto* bytes = static_cast<const unsigned char*>(data);
    const std::size_t whole = size - size % 8;
    for (std::size_t i = 0; i < whole; i += 8) s.absorb(load64(bytes + i));
    unsigned char last[8] = {};
    std::memcpy(last, bytes + whole, size % 8);
    last[7] = static_cast<unsigned char>(size);
    s.absorb(load64(last));
    s.v2 ^= 0xff;
    for (int i = 0; i < 4; ++i) s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace tollmar::digest
