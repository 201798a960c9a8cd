
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "auth/constant_time.hpp"
#include "auth/credential_checks.hpp"
#include "auth/credentials.hpp"
#include "digest/md5.hpp"
#include "util/log.hpp"
#include "util/strlcpy.hpp"

namespace tollmar::auth {

namespace {

constexpr std::size_t digest_text_length = 36;  // "MD5-" and 32 hex digits
// The digested text "%s\n%s\n%s" must fit its 1024-byte buffer: password,
// name, two line feeds, "tollmar" and the terminator.
constexpr std::size_t longest_digested_pair = 1014;

// Compared against when the login has no line, so that an unknown login costs
// what a wrong password costs.
constexpr char unknown_login_entry[] = "MD5-00000000000000000000000000000000";

bool is_digest_entry(const char* field) {
    return std::strlen(field) == digest_text_length && std::strncmp(field, "MD5", 3) == 0;
}

bool digest_matches(const char* name, const char* password, const char* entry) {
    char text[1024];
    const int written = std::snprintf(text, sizeof text, "%s\n%s\n%s", password, name, "tollmar");
    std::size_t length = written < 0 ? 0 : static_cast<std::size_t>(written);
    if (length >= sizeof text) length = sizeof text - 1;

    unsigned char digest[16];
    digest::md5_digest(text, length, digest);
    explicit_bzero(text, sizeof text);

    static const char hex_digits[] = "0123456789abcdef";
    char rendered[digest_text_length + 1] = "MD5-";
    for (int i = 0; i < 16; ++i) {
        rendered[4 + 2 * i] = hex_digits[digest[i] >> 4];
        rendered[5 + 2 * i] = hex_digits[digest[i] & 15];
    }
    rendered[digest_text_length] = '\0';
    // The fourth character of a stored entry is never examined.
    return hex_equal_constant_time(rendered + 4, entry + 4, digest_text_length - 4);
}

// Does the work of a password comparison whose answer nobody needs.
void spend_comparison(const char* name, const char* password) {
    volatile bool sink = digest_matches(name, password, unknown_login_entry);
    (void)sink;
}

// Whether the first line whose login matched accepts the password, with the
// reason in result when not; save continues its strtok_r scan after field 1.
bool judge_line(const char* name, const char* password, char** save, login_result& result) {
    const char* secret = strtok_r(nullptr, ":", save);
    if (secret == nullptr) {
        spend_comparison(name, password);
        result.reason = refusal_incomplete_entry;
        return false;
    }

    bool matches;
    if (is_digest_entry(secret)) {
        if (std::strlen(name) + std::strlen(password) > longest_digested_pair) {
            util::log_line(LOG_ERR, "overly long username or password");
            result.reason = refusal_too_long;
            return false;
        }
        matches = digest_matches(name, password, secret);
    } else {
        matches = texts_equal_constant_time(password, secret);
    }
    result.reason = refusal_wrong_password;
    if (!matches) return false;

    result.reason = refusal_incomplete_entry;
    const char* account = strtok_r(nullptr, ":", save);
    const char* maildrop = strtok_r(nullptr, ":\n", save);
    if (account == nullptr || maildrop == nullptr) return false;
    util::strlcpy(result.mapped_user, account, sizeof result.mapped_user);
    util::strlcpy(result.maildrop, maildrop, sizeof result.maildrop);
    result.reason = refusal_none;
    return true;
}

}  // namespace

login_result check_auth_file(const char* name, const char* password, const char* path) {
    login_result result{};
    result.verdict = verdict_refused;
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to read auth file", path,
                       std::strerror(errno));
        result.reason = refusal_auth_file_unreadable;
        return result;
    }

    // Lines longer than the buffer are split by fgets; each piece is looked
    // at as a line of its own.
    char line[longest_credential + 1];
    bool accepted = false;
    for (;;) {
        if (std::ferror(file) || std::feof(file) ||
            std::fgets(line, sizeof line, file) == nullptr) {
            spend_comparison(name, password);
            result.reason = refusal_unknown_account;
            break;
        }
        char* save = nullptr;
        const char* login = strtok_r(line, ":", &save);
        if (login == nullptr || std::strcmp(login, name) != 0) continue;
        // The first line for the login decides, whatever it says.
        accepted = judge_line(name, password, &save, result);
        break;
    }

    std::fclose(file);
    explicit_bzero(line, sizeof line);
    if (accepted) result.verdict = verdict_accepted;
    return result;
}

}  // namespace tollmar::auth
