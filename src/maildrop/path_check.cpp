#include "maildrop/path_check.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "util/log.hpp"
#include "util/unique_fd.hpp"

namespace tollmar::maildrop {

namespace {

bool user_controls_folder(const struct stat& folder, uid_t uid, gid_t gid) {
    return folder.st_uid == uid || (folder.st_mode & S_IWOTH) != 0 ||
           (folder.st_gid == gid && (folder.st_mode & S_IWGRP) != 0);
}

}  // namespace

bool maildrop_path_is_safe(const char* path, const char* trusted, uid_t uid, gid_t gid) {
    const std::size_t length = path != nullptr ? std::strlen(path) : 0;
    if (length == 0 || length >= PATH_MAX || path[0] != '/') return false;
    std::size_t trusted_length = trusted != nullptr ? std::strlen(trusted) : 0;
    while (trusted_length > 0 && trusted[trusted_length - 1] == '/') --trusted_length;
    // Below the trusted folder only when the path really lies under it.
    const bool below = trusted_length > 0 && std::strncmp(path, trusted, trusted_length) == 0 &&
                       path[trusted_length] == '/';

    char walk[PATH_MAX];
    std::memcpy(walk, path, length + 1);
    const char* last = std::strrchr(walk, '/');
    util::unique_fd folder(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::size_t at = 1;
    while (folder.valid() && walk + at < last) {
        char* end = std::strchr(walk + at, '/');
        *end = '\0';
        const char* name = walk + at;
        const bool in_user_part = below && at > trusted_length;
        at = static_cast<std::size_t>(end - walk) + 1;
        if (name[0] == '\0') continue;  // "//"
        struct stat here;
        struct stat entry;
        if (::fstat(folder.get(), &here) != 0 ||
            ::fstatat(folder.get(), name, &entry, AT_SYMLINK_NOFOLLOW) != 0)
            return true;  // a missing folder fails later, with its own reason
        if (S_ISLNK(entry.st_mode) &&
            (in_user_part || entry.st_uid == uid || user_controls_folder(here, uid, gid))) {
            util::log_line(LOG_ERR, "%s: %s: %s", "refusing maildrop", path,
                           "a symbolic link in a folder the user controls");
            return false;
        }
        // Links the user cannot have made (an administrator's) are followed.
        folder.reset(::openat(folder.get(), name, O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    return true;
}

}  // namespace tollmar::maildrop
