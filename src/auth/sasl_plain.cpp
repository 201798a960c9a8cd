#include "auth/sasl_plain.hpp"

#include <openssl/evp.h>

#include <cstring>

namespace tollmar::auth {

namespace {

// A character's value in the base64 alphabet, -1 for any other.
int sextet(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// OpenSSL's decoder skips blanks around the text and does not look at the
// bits a padded group leaves over: the checks that make one text the only
// form of one response come first.
bool strict_base64(const char* text, std::size_t length, std::size_t* padding) {
    if (length == 0 || length % 4 != 0 || length > plain_response_text_max) return false;
    const auto* t = reinterpret_cast<const unsigned char*>(text);
    std::size_t pad = 0;
    if (t[length - 1] == '=') pad = t[length - 2] == '=' ? 2 : 1;
    for (std::size_t i = 0; i < length - pad; ++i) {
        if (sextet(t[i]) < 0) return false;
    }
    const int last = sextet(t[length - pad - 1]);
    if ((pad == 1 && (last & 0x3) != 0) || (pad == 2 && (last & 0xf) != 0)) return false;
    *padding = pad;
    return true;
}

bool copy_field(const unsigned char* from, std::size_t n, char* to) {
    if (n > longest_credential) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (from[i] == '\r' || from[i] == '\n') return false;
    }
    std::memcpy(to, from, n);
    to[n] = '\0';
    return true;
}

bool split_fields(const unsigned char* bytes, std::size_t n, plain_response& out) {
    const auto* first = static_cast<const unsigned char*>(std::memchr(bytes, '\0', n));
    if (first == nullptr) return false;
    const std::size_t authzid_length = static_cast<std::size_t>(first - bytes);
    const unsigned char* authcid = first + 1;
    const std::size_t after_first = n - authzid_length - 1;
    const auto* second = static_cast<const unsigned char*>(std::memchr(authcid, '\0', after_first));
    if (second == nullptr) return false;
    const std::size_t authcid_length = static_cast<std::size_t>(second - authcid);
    const unsigned char* password = second + 1;
    const std::size_t password_length = after_first - authcid_length - 1;
    if (authcid_length == 0 || password_length == 0 ||
        std::memchr(password, '\0', password_length) != nullptr)
        return false;
    return copy_field(bytes, authzid_length, out.authzid) &&
           copy_field(authcid, authcid_length, out.authcid) &&
           copy_field(password, password_length, out.password);
}

}  // namespace

bool decode_plain(const char* text, std::size_t length, plain_response& out) {
    static unsigned char bytes[plain_response_text_max / 4 * 3];
    std::size_t padding = 0;
    bool ok = strict_base64(text, length, &padding);
    if (ok) {
        const int decoded = EVP_DecodeBlock(bytes, reinterpret_cast<const unsigned char*>(text),
                                            static_cast<int>(length));
        ok = decoded >= 0 && static_cast<std::size_t>(decoded) == length / 4 * 3 &&
             split_fields(bytes, static_cast<std::size_t>(decoded) - padding, out);
    }
    explicit_bzero(bytes, sizeof bytes);
    if (!ok) explicit_bzero(&out, sizeof out);
    return ok;
}

}  // namespace tollmar::auth
