#include "auth/credentials.hpp"

#include <pwd.h>

#include <cerrno>
#include <cstring>

#include "auth/access_list.hpp"
#include "auth/credential_checks.hpp"
#include "config/settings.hpp"

namespace tollmar::auth {

const char* refusal_text(refusal_reason reason) {
    switch (reason) {
        case refusal_none:
            break;
        case refusal_missing_argument:
            return "missing name or password";
        case refusal_unknown_account:
            return "unknown account";
        case refusal_no_password:
            return "no usable password";
        case refusal_incomplete_entry:
            return "incomplete auth file entry";
        case refusal_too_long:
            return "name and password too long";
        case refusal_wrong_password:
            return "wrong password";
        case refusal_root_account:
            return "account has user id 0";
        case refusal_access_lists:
            return "refused by access lists";
        case refusal_lists_unreadable:
            return "access list unreadable";
        case refusal_auth_file_unreadable:
            return "auth file unreadable";
        case refusal_prelogin_account:
            return "account has the pre-login user id";
    }
    return "accepted";
}

namespace {

// The pre-login account's user id; 0 (never an account's: root is refused
// first) until it is known.
uid_t prelogin_uid = 0;

// The account a session would run as must never be root: a session with
// user id 0 could rewrite any file through its maildrop path. Nor may it be
// the pre-login processes' account: its session could then signal or trace
// every jailed process, each of which reads another client's password.
refusal_reason forbidden_account(const char* login_name, const login_result& result) {
    const char* mapped = result.mapped_user;
    const struct passwd* account = getpwnam(mapped[0] != '\0' ? mapped : login_name);
    if (account == nullptr) return refusal_none;
    if (account->pw_uid == 0) return refusal_root_account;
    return account->pw_uid == prelogin_uid ? refusal_prelogin_account : refusal_none;
}

void refuse(login_result& result, refusal_reason reason) {
    result.verdict = verdict_refused;
    result.reason = reason;
    result.mapped_user[0] = '\0';
    result.maildrop[0] = '\0';
}

}  // namespace

void make_work_copy(const char* text, char* copy) {
    const char* end = std::strchr(text, '\r');
    if (end == nullptr) end = std::strchr(text, '\n');
    std::size_t length = end != nullptr ? static_cast<std::size_t>(end - text) : std::strlen(text);
    if (length > longest_credential) length = longest_credential;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
}

list_decision lists_decide(const char* name, const char* allow_path, const char* deny_path) {
    const list_lookup allowed = user_listed(name, allow_path);
    if (allowed == list_unreadable && errno != ENOENT) return lists_unreadable;
    const list_lookup denied = user_listed(name, deny_path);
    // A missing deny list refuses everyone by design, so it is the lists'
    // decision rather than a fault.
    if (denied == list_unreadable) return errno == ENOENT ? lists_refuse : lists_unreadable;
    if (allowed == name_not_listed || denied == name_listed) return lists_refuse;
    return lists_admitted;
}

bool lists_admit(const char* name, const char* allow_path, const char* deny_path) {
    return lists_decide(name, allow_path, deny_path) == lists_admitted;
}

login_result check_credentials_with_lists(const char* name, const char* password,
                                          const char* allow_path, const char* deny_path) {
    if (name == nullptr || password == nullptr) {
        login_result missing{};
        missing.verdict = verdict_temporary;
        missing.reason = refusal_missing_argument;
        return missing;
    }

    char name_copy[longest_credential + 1];
    char password_copy[longest_credential + 1];
    make_work_copy(name, name_copy);
    make_work_copy(password, password_copy);

    // The password is checked even for a name the lists refuse, so that the
    // refusal costs what a wrong password costs.
    login_result result =
        config::settings.auth_file != nullptr
            ? check_auth_file(name_copy, password_copy, config::settings.auth_file)
            : check_system_account(name_copy, password_copy);
    if (config::settings.use_access_lists) {
        const list_decision lists = lists_decide(name_copy, allow_path, deny_path);
        if (lists == lists_unreadable) refuse(result, refusal_lists_unreadable);
        if (lists == lists_refuse) refuse(result, refusal_access_lists);
    }
    if (result.verdict == verdict_accepted) {
        const refusal_reason forbidden = forbidden_account(name_copy, result);
        if (forbidden != refusal_none) refuse(result, forbidden);
    }

    // The password has no business staying on the stack after the check.
    explicit_bzero(password_copy, sizeof password_copy);
    return result;
}

void set_prelogin_uid(uid_t uid) {
    prelogin_uid = uid;
}

login_result check_credentials(const char* name, const char* password) {
    return check_credentials_with_lists(name, password, allow_list_path, deny_list_path);
}

}  // namespace tollmar::auth
