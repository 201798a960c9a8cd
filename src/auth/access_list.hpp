// User access lists (/etc/pop3.allow, /etc/pop3.deny).
#pragma once

namespace tollmar::auth {

inline constexpr const char* allow_list_path = "/etc/pop3.allow";
inline constexpr const char* deny_list_path = "/etc/pop3.deny";

// Whether the list file at path lists name; list_unreadable when an argument
// is missing or the file cannot be read whole (errno tells why).
enum list_lookup : int {
    list_unreadable = -1,
    name_not_listed = 0,
    name_listed = 1,
};
list_lookup user_listed(const char* name, const char* path);

}  // namespace tollmar::auth
