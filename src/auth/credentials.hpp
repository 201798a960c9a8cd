// The credential check against the system accounts or an authentication file.
#pragma once

namespace tollmar::auth {

struct session_identity_record {
    char mapped_user[4097];        // account to use instead of the login name
    char maildrop_override[4097];  // maildrop path to use
};

// Both texts are non-empty exactly after a verdict of 1 from the
// authentication file.
extern session_identity_record session_identity;

// 1 accepted, 0 refused, -1 temporary problem. name and password may still
// carry their line ends; they are cut at the first CR, else the first LF.
int check_credentials(const char* name, const char* password);

}  // namespace tollmar::auth
