// SipHash-2-4 (Aumasson and Bernstein): a keyed hash for tables whose keys a
// client chooses. Without the key, which never leaves the server, nobody can
// pick keys that pile into one bucket of a table.
//
// Our own, not OpenSSL's (whose SipHash is reachable only through EVP_MAC):
// the first EVP_MAC call in each forked connection process costs from half a
// millisecond to two, measured as 18 % of a plain login; this is two dozen
// lines, checked against the reference vectors.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tollmar::digest {

inline constexpr std::size_t siphash_key_size = 16;

std::uint64_t siphash24(const unsigned char key[siphash_key_size], const void* data,
                        std::size_t size);

}  // namespace tollmar::digest
