// An independent reckoning of unique-id texts for the tests: OpenSSL's MD5,
// printed as four 32-bit words each read least significant byte first.
#pragma once
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <string>

namespace tollmar::test {

inline std::string md5_words(const std::string& bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_length = 0;
    EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), md, &md_length, EVP_md5(), nullptr), 1);
    std::string id;
    for (int word = 0; word < 4; ++word) {
        for (int byte = 3; byte >= 0; --byte) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", md[4 * word + byte]);
            id += hex;
        }
    }
    return id;
}

// The id of a message that shares its first 255 bytes with no earlier one.
inline std::string plain_id(const std::string& message) {
    return md5_words(message.substr(0, 255));
}

}  // namespace tollmar::test
