// The credential check against the system accounts or an authentication file.
#pragma once

namespace tollmar::auth {

// Longest name or password kept from the client (the work copies hold this
// many characters plus the terminator), and longest line piece read from the
// authentication file.
inline constexpr unsigned long longest_credential = 4096;

struct session_identity_record {
    // Fields of one authentication file line, which fits in these.
    char mapped_user[longest_credential + 1];        // account to use instead of the login name
    char maildrop_override[longest_credential + 1];  // maildrop path to use
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
