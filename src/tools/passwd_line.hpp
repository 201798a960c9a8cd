// Builds one line of the authentication file (-a): login:MD5-<hex>:account:maildrop.
// Every field is checked against what the server's reader can hold back.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace tollmar::tools {

// The server reads the file with fgets into 4097 bytes: a line, its line
// feed included, must fit in 4096 characters or its tail is read as a line
// of its own.
inline constexpr std::size_t longest_line = 4095;
// The digested text "password\nlogin\ntollmar" must fit the server's
// 1024-byte buffer; longer pairs are refused at login.
inline constexpr std::size_t longest_digested_pair = 1014;

enum class line_problem {
    none,
    empty_field,        // strtok skips empty fields: the others would shift left
    colon_in_field,     // ":" separates the fields
    line_end_in_field,  // CR or LF (a CR is cut off by the server's reading)
    nul_in_field,
    relative_maildrop,  // resolved against the server's working folder, which varies
    empty_password,
    line_end_in_password,  // the server cuts a password at its first CR
    nul_in_password,
    pair_too_long,
    line_too_long,
};

struct line_fields {
    std::string_view login;
    std::string_view password;
    std::string_view account;
    std::string_view maildrop;
};

// "MD5-" and the 32 lower-case hex digits of MD5("password\nlogin\ntollmar").
std::string digest_entry(std::string_view login, std::string_view password);

struct line_check {
    line_problem problem;
    const char* field;  // "login", "account", "maildrop" or "password"; nullptr for lengths
};

// The first problem of the fields, in the order login, account, maildrop,
// password, lengths; line_problem::none when the line can be written.
line_check check_line_fields(const line_fields& fields);

// The line without its line feed, or an empty text when check_line_fields
// finds a problem (reported through check).
std::string build_line(const line_fields& fields, line_check& check);

// What is wrong, as the end of a sentence that starts with the field's name.
const char* problem_text(line_problem problem);

}  // namespace tollmar::tools
