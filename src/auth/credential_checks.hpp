// The steps of the credential check, each on its own, so that tests can give
// the list paths and stored hashes that the public entry takes from the system.
#pragma once
#include "auth/credentials.hpp"

namespace tollmar::auth {

// Copies text into copy (longest_credential + 1 bytes): cut at the first CR
// when text has one anywhere, else at the first LF, then to at most
// longest_credential characters.
void make_work_copy(const char* text, char* copy);

// check_credentials with the allow and deny lists read from the given paths.
login_result check_credentials_with_lists(const char* name, const char* password,
                                          const char* allow_path, const char* deny_path);

// With access lists on: whether the lists let name try to log in. A
// missing allow list restricts nothing (user_listed leaves errno ENOENT then);
// an allow list that exists but cannot be read, or a deny list that is
// missing, unreadable or lists the name, refuses.
bool lists_admit(const char* name, const char* allow_path, const char* deny_path);

// The same decision, telling a refusal by the lists' content from one because
// a list could not be read.
enum list_decision : int { lists_admitted, lists_refuse, lists_unreadable };
list_decision lists_decide(const char* name, const char* allow_path, const char* deny_path);

// The authentication file check on cut work copies (accepted or refused,
// with the line's account and maildrop when accepted).
login_result check_auth_file(const char* name, const char* password, const char* path);

// The system account check on cut work copies (accepted or refused; an
// unknown account or one without a usable password hash costs a crypt all the
// same).
login_result check_system_account(const char* name, const char* password);

// True when crypt of password with stored as setting gives stored back (a
// failed crypt never does).
bool check_stored_hash(const char* password, const char* stored);

}  // namespace tollmar::auth
