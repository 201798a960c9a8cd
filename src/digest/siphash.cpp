#include "digest/siphash.hpp"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include "util/fatal.hpp"

namespace tollmar::digest {

namespace {

// Fetched once, in the first process that hashes (the listener, when the
// throttle is set up before the first fork): a fetch searches the provider's
// tables under a lock, a waste to repeat for every key.
EVP_MAC* siphash_mac() {
    static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "SIPHASH", nullptr);
    return mac;
}

}  // namespace

bool siphash_available() {
    return siphash_mac() != nullptr;
}

std::uint64_t siphash24(const unsigned char key[siphash_key_size], const void* data,
                        std::size_t size) {
    EVP_MAC* mac = siphash_mac();
    EVP_MAC_CTX* ctx = mac != nullptr ? EVP_MAC_CTX_new(mac) : nullptr;
    // SipHash-2-4 with its 64-bit output (OpenSSL's default is the 128-bit
    // variant); the rounds are OpenSSL's defaults, 2 and 4.
    std::size_t out_size = 8;
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_size_t(OSSL_MAC_PARAM_SIZE, &out_size),
                                 OSSL_PARAM_construct_end()};
    unsigned char out[8];
    std::size_t written = 0;
    const bool ok = ctx != nullptr && EVP_MAC_init(ctx, key, siphash_key_size, params) == 1 &&
                    EVP_MAC_update(ctx, static_cast<const unsigned char*>(data), size) == 1 &&
                    EVP_MAC_final(ctx, out, &written, sizeof out) == 1 && written == sizeof out;
    EVP_MAC_CTX_free(ctx);
    // Only an allocation can fail once the start-up check passed: the
    // connection ends rather than hash every key into one bucket.
    if (!ok) util::fatal(nullptr, "%s", "SipHash failed");
    // Little-endian, as the algorithm defines its output as a number.
    std::uint64_t hash = 0;
    for (int i = 7; i >= 0; --i) hash = (hash << 8) | out[i];
    return hash;
}

}  // namespace tollmar::digest
