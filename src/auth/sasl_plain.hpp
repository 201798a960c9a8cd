// The client's response of the SASL mechanism PLAIN: base64 of
// "authorization identity NUL authentication identity NUL password".
#pragma once
#include <cstddef>

#include "auth/credentials.hpp"

namespace tollmar::auth {

// The longest base64 text taken: four characters for every three bytes of
// the largest response a command line can carry.
inline constexpr std::size_t plain_response_text_max = 4096;

struct plain_response {
    char authzid[longest_credential + 1];
    char authcid[longest_credential + 1];
    char password[longest_credential + 1];
};

// Decodes length characters of text (no line end) into out. False for
// anything but strict base64 (whole groups of four, padding only at the end,
// no blanks, unused bits zero) of exactly three fields split by two NULs, with
// a non-empty authentication identity and password and no CR or LF in any
// field. Every byte decoded is wiped before the return, and out on a refusal.
bool decode_plain(const char* text, std::size_t length, plain_response& out);

}  // namespace tollmar::auth
