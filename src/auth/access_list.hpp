// User access lists (/etc/pop3.allow, /etc/pop3.deny).
#pragma once

namespace tollmar::auth {

inline constexpr const char* allow_list_path = "/etc/pop3.allow";
inline constexpr const char* deny_list_path = "/etc/pop3.deny";

// 1 when the list file at path lists name, 0 when it does not, -1 when an
// argument is missing or the file cannot be read whole.
int user_listed(const char* name, const char* path);

}  // namespace tollmar::auth
