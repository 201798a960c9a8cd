#include "tools/passwd_line.hpp"

#include <cstring>

#include "digest/md5.hpp"

namespace tollmar::tools {

namespace {

// Problems of a text field; a login, an account and a maildrop share them.
line_problem check_text_field(std::string_view text) {
    if (text.empty()) return line_problem::empty_field;
    if (text.find(':') != std::string_view::npos) return line_problem::colon_in_field;
    if (text.find_first_of("\r\n") != std::string_view::npos)
        return line_problem::line_end_in_field;
    if (text.find('\0') != std::string_view::npos) return line_problem::nul_in_field;
    return line_problem::none;
}

line_problem check_password(std::string_view password) {
    if (password.empty()) return line_problem::empty_password;
    if (password.find_first_of("\r\n") != std::string_view::npos)
        return line_problem::line_end_in_password;
    if (password.find('\0') != std::string_view::npos) return line_problem::nul_in_password;
    return line_problem::none;
}

}  // namespace

std::string digest_entry(std::string_view login, std::string_view password) {
    std::string text;
    text.reserve(password.size() + login.size() + 9);
    text.append(password).append("\n").append(login).append("\ntollmar");
    unsigned char digest[16];
    digest::md5_digest(text.data(), text.size(), digest);
    explicit_bzero(text.data(), text.size());

    static const char hex_digits[] = "0123456789abcdef";
    std::string entry = "MD5-";
    for (unsigned char byte : digest) {
        entry += hex_digits[byte >> 4];
        entry += hex_digits[byte & 15];
    }
    return entry;
}

line_check check_line_fields(const line_fields& fields) {
    const struct {
        const char* name;
        std::string_view text;
    } text_fields[] = {
        {"login", fields.login},
        {"account", fields.account},
        {"maildrop", fields.maildrop},
    };
    for (const auto& f : text_fields) {
        const line_problem problem = check_text_field(f.text);
        if (problem != line_problem::none) return {problem, f.name};
    }
    if (fields.maildrop.front() != '/') return {line_problem::relative_maildrop, "maildrop"};

    const line_problem password_problem = check_password(fields.password);
    if (password_problem != line_problem::none) return {password_problem, "password"};

    if (fields.login.size() + fields.password.size() > longest_digested_pair)
        return {line_problem::pair_too_long, nullptr};
    // Three separators and the digest entry join the three text fields.
    const std::size_t line_length =
        fields.login.size() + 36 + fields.account.size() + fields.maildrop.size() + 3;
    if (line_length > longest_line) return {line_problem::line_too_long, nullptr};
    return {line_problem::none, nullptr};
}

std::string build_line(const line_fields& fields, line_check& check) {
    check = check_line_fields(fields);
    if (check.problem != line_problem::none) return {};
    std::string line;
    line.append(fields.login).append(":").append(digest_entry(fields.login, fields.password));
    line.append(":").append(fields.account).append(":").append(fields.maildrop);
    return line;
}

const char* problem_text(line_problem problem) {
    switch (problem) {
        case line_problem::none:
            return "is fine";
        case line_problem::empty_field:
            return "is empty (the file cannot hold an empty field)";
        case line_problem::colon_in_field:
            return "contains ':', which separates the fields of the file";
        case line_problem::line_end_in_field:
            return "contains a line end (CR or LF)";
        case line_problem::nul_in_field:
            return "contains a NUL character";
        case line_problem::relative_maildrop:
            return "must be an absolute path (starting with '/')";
        case line_problem::empty_password:
            return "is empty";
        case line_problem::line_end_in_password:
            return "contains a carriage return, which the server cuts a password at";
        case line_problem::nul_in_password:
            return "contains a NUL character";
        case line_problem::pair_too_long:
            return "login and password together are longer than 1014 characters";
        case line_problem::line_too_long:
            return "the line would be longer than 4095 characters";
    }
    return "is not usable";
}

}  // namespace tollmar::tools
