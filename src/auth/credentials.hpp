// The credential check against the system accounts or an authentication file.
#pragma once

namespace tollmar::auth {

struct session_identity_record {
    char mapped_user[4097];        // account to use instead of the login name
    char maildrop_override[4097];  // maildrop path to use
};

// The outcome of a login attempt. The numbers are those of the log line
// "login failed ('%s') return value %d".
enum login_verdict : int {
    verdict_temporary = -1,  // the account or a file could not be consulted
    verdict_refused = 0,
    verdict_accepted = 1,
};

// Both texts are non-empty exactly after verdict_accepted from the
// authentication file.
extern session_identity_record session_identity;

// name and password may still carry their line ends; they are cut at the
// first CR, else the first LF.
login_verdict check_credentials(const char* name, const char* password);

}  // namespace tollmar::auth
