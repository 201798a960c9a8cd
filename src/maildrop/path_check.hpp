// Refusing a maildrop path that leads through a symbolic link its user could
// have planted: with the group mail, such a link could reach another user's
// mail (or make root's lock land anywhere).
#pragma once
#include <sys/types.h>

namespace tollmar::maildrop {

// Checks the folders on the way to the maildrop at path, which must be
// absolute; its last component is opened without following links anyway.
// Below `trusted` (the home folder with -L; pass "/" otherwise) every folder
// is the user's to control, so no component there may be a symbolic link.
// Above it, and everywhere for "/", a link is refused when the user could have
// made it: owned by uid, or in a folder owned by uid or writable by others
// or by the group mail (gid). False when refused (logged at LOG_ERR as
// "refusing maildrop: <path>: ...").
bool maildrop_path_is_safe(const char* path, const char* trusted, uid_t uid, gid_t gid);

}  // namespace tollmar::maildrop
