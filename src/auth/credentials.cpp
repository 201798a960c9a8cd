#include "auth/credentials.hpp"

#include <cerrno>
#include <cstring>

#include "auth/access_list.hpp"
#include "auth/credential_checks.hpp"
#include "config/settings.hpp"

namespace tollmar::auth {

session_identity_record session_identity;

void make_work_copy(const char* text, char* copy) {
    const char* end = std::strchr(text, '\r');
    if (end == nullptr) end = std::strchr(text, '\n');
    std::size_t length = end != nullptr ? static_cast<std::size_t>(end - text) : std::strlen(text);
    if (length > longest_credential) length = longest_credential;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
}

bool lists_admit(const char* name, const char* allow_path, const char* deny_path) {
    const list_lookup allowed = user_listed(name, allow_path);
    if (allowed == name_not_listed) return false;
    if (allowed == list_unreadable && errno != ENOENT) return false;
    return user_listed(name, deny_path) == name_not_listed;
}

login_verdict check_credentials_with_lists(const char* name, const char* password,
                                           const char* allow_path, const char* deny_path) {
    // Cleared before anything can fail, so that no earlier result survives a
    // call that does not end in acceptance.
    session_identity.mapped_user[0] = '\0';
    session_identity.maildrop_override[0] = '\0';
    if (name == nullptr || password == nullptr) return verdict_temporary;

    char name_copy[longest_credential + 1];
    char password_copy[longest_credential + 1];
    make_work_copy(name, name_copy);
    make_work_copy(password, password_copy);

    login_verdict verdict;
    if (config::settings.use_access_lists && !lists_admit(name_copy, allow_path, deny_path)) {
        verdict = verdict_refused;
    } else if (config::settings.auth_file != nullptr) {
        verdict = check_auth_file(name_copy, password_copy, config::settings.auth_file);
    } else {
        verdict = check_system_account(name_copy, password_copy);
    }

    // The password has no business staying on the stack after the check.
    explicit_bzero(password_copy, sizeof password_copy);
    return verdict;
}

login_verdict check_credentials(const char* name, const char* password) {
    return check_credentials_with_lists(name, password, allow_list_path, deny_list_path);
}

}  // namespace tollmar::auth
