// SipHash-2-4 (Aumasson and Bernstein): a keyed hash for tables whose keys a
// client chooses. Without the key, which never leaves the server, nobody can
// pick keys that pile into one bucket of a table. OpenSSL computes it.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tollmar::digest {

inline constexpr std::size_t siphash_key_size = 16;

// False when the crypto library offers no SipHash (checked once at start,
// so that a failure later can only be a lack of memory).
[[nodiscard]] bool siphash_available();

// Ends the process (util::fatal) when the library fails.
std::uint64_t siphash24(const unsigned char key[siphash_key_size], const void* data,
                        std::size_t size);

}  // namespace tollmar::digest
