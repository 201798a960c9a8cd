// The credential check against the system accounts or an authentication file.
#pragma once
#include <sys/types.h>

namespace tollmar::auth {

// Longest name or password kept from the client (the work copies hold this
// many characters plus the terminator), and longest line piece read from the
// authentication file.
inline constexpr unsigned long longest_credential = 4096;

// The outcome of a login attempt. The numbers are those of the log line
// "login failed ('%s') return value %d".
enum login_verdict : int {
    verdict_temporary = -1,  // called without a name or a password
    verdict_refused = 0,
    verdict_accepted = 1,
};

// Why a check did not accept. The client is told none of this (every refusal
// gets the same reply); the log line names it.
enum refusal_reason : int {
    refusal_none,
    refusal_missing_argument,
    refusal_unknown_account,
    refusal_no_password,
    refusal_incomplete_entry,
    refusal_too_long,
    refusal_wrong_password,
    refusal_root_account,
    refusal_access_lists,
    refusal_lists_unreadable,
    refusal_auth_file_unreadable,
    refusal_prelogin_account,
};

// What a login attempt comes to. mapped_user and maildrop are the fields of
// the authentication file line that accepted it (the account to use instead
// of the login name, the maildrop path to use): both non-empty exactly after
// verdict_accepted from the authentication file, both empty otherwise.
struct login_result {
    login_verdict verdict;
    refusal_reason reason;  // refusal_none when accepted
    char mapped_user[longest_credential + 1];
    char maildrop[longest_credential + 1];
};

// The words the log line uses for a reason, e.g. "wrong password".
const char* refusal_text(refusal_reason reason);

// name and password may still carry their line ends; they are cut at the
// first CR, else the first LF. Every refusal of a name or a password is
// verdict_refused, whatever the cause (unknown account, no usable password,
// access lists, user id 0, an unreadable file), and costs about what a wrong
// password costs, so that a client cannot probe for accounts; the reason
// tells the cause. An account with user id 0, or with the user id of the
// pre-login processes (set_prelogin_uid), is never accepted.
login_result check_credentials(const char* name, const char* password);

// The user id of the pre-login account (-u), once looked up: no login is
// accepted for an account with it, whose session would share its user id
// with every jailed pre-login process.
void set_prelogin_uid(uid_t uid);

}  // namespace tollmar::auth
