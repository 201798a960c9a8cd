// Feeds arbitrary text to the SASL PLAIN decoder. What it accepts must be the
// one spelling of what it decoded: encoding the three fields again gives the
// input back, byte for byte.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "auth/sasl_plain.hpp"

namespace {

tollmar::auth::plain_response response;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    if (!tollmar::auth::decode_plain(text, size, response)) return 0;
    std::string raw = response.authzid;
    raw += '\0';
    raw += response.authcid;
    raw += '\0';
    raw += response.password;
    if (response.authcid[0] == '\0' || response.password[0] == '\0') abort();
    std::string again(4 * ((raw.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(again.data()),
                                  reinterpret_cast<const unsigned char*>(raw.data()),
                                  static_cast<int>(raw.size()));
    if (n < 0 || static_cast<std::size_t>(n) != size || std::memcmp(again.data(), text, size) != 0)
        abort();
    return 0;
}
