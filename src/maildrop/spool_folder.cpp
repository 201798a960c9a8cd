#include "maildrop/spool_folder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "maildrop/message_table.hpp"
#include "maildrop/origin.hpp"
#include "util/log.hpp"
#include "util/unique_fd.hpp"

namespace tollmar::maildrop {

namespace {

// Names of an account folder judged per sweep: it holds one entry per
// session of the account, unless the account fills it itself.
constexpr std::size_t most_names = 4096;
// Attempts at making the session folder while other sessions of the account
// remove the empty account folder under it.
constexpr int most_attempts = 8;
// Room left behind the session folder's path for a spool file's name,
// ".tollmar_<pid>_<tag>_XXXXXX".
constexpr std::size_t spool_name_room = 40;

struct own_folder {
    bool made;
    char path[spool_path_capacity];     // the session folder
    char account[spool_path_capacity];  // its account folder; "" for a mkdtemp folder
};
own_folder own = {false, {}, {}};

bool format(char (&out)[spool_path_capacity], const char* form, auto... values) {
    const int n = std::snprintf(out, sizeof out, form, values...);
    if (n < 0 || static_cast<std::size_t>(n) + spool_name_room >= sizeof out) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

bool account_folder_path(char (&out)[spool_path_capacity], const char* root, uid_t uid) {
    return format(out, "%s/.tollmar-%u-%u", root, static_cast<unsigned>(uid), origin_tag());
}

// Unlinks everything in the open folder that is not a folder itself; a few
// passes, since entries removed while the listing runs may hide others.
void empty_folder(int fd) {
    for (int pass = 0; pass < 3; ++pass) {
        DIR* listing = ::fdopendir(::dup(fd));
        if (listing == nullptr) return;
        ::rewinddir(listing);
        bool left = false;
        while (const dirent* entry = ::readdir(listing)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            if (::unlinkat(fd, entry->d_name, 0) != 0 && errno != ENOENT) left = true;
        }
        ::closedir(listing);
        if (!left) return;
    }
}

// Removes the folder `name` in the open folder `parent` with its files; a
// folder that holds folders (which no session makes) stays.
bool remove_folder_at(int parent, const char* name) {
    if (::unlinkat(parent, name, AT_REMOVEDIR) == 0) return true;
    if (errno != ENOTEMPTY && errno != EEXIST) return false;
    const util::unique_fd folder(
        ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) return false;
    empty_folder(folder.get());
    return ::unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

// The pid of a session folder's name: "<pid>" (*aside false) or "<pid>.<tail>"
// of letters and digits (*aside true); 0 for any other name.
pid_t session_of(const char* name, bool* aside) {
    unsigned long pid = 0;
    const char* p = name;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (p - name >= 10) return 0;
        pid = pid * 10 + static_cast<unsigned long>(*p - '0');
    }
    if (p == name || pid == 0 || pid > 0x7fffffff) return 0;
    *aside = *p == '.';
    if (*aside) {
        const char* tail = p + 1;
        if (*tail == '\0' || tail[std::strspn(tail, "0123456789abcdef")] != '\0') return 0;
    } else if (*p != '\0') {
        return 0;
    }
    return static_cast<pid_t>(pid);
}

bool is_dead(pid_t pid) {
    return pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH;
}

// The account folder of uid open, when it is a folder owned by uid.
util::unique_fd open_account_folder(const char* path, uid_t uid, struct stat* st) {
    util::unique_fd folder(::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.valid() && (::fstat(folder.get(), st) != 0 || st->st_uid != uid)) {
        folder.reset();
        errno = EPERM;
    }
    return folder;
}

std::size_t sweep_account_folder(const char* path, uid_t uid) {
    if (origin_tag() == 0) return 0;
    struct stat st;
    const util::unique_fd folder = open_account_folder(path, uid, &st);
    if (!folder.valid()) return 0;
    DIR* listing = ::fdopendir(::dup(folder.get()));
    if (listing == nullptr) return 0;
    std::vector<std::string> dead;
    std::size_t looked = 0;
    while (looked < most_names) {
        const dirent* entry = ::readdir(listing);
        if (entry == nullptr) break;
        ++looked;
        bool aside = false;
        const pid_t pid = session_of(entry->d_name, &aside);
        if (pid != 0 && (aside || is_dead(pid))) dead.emplace_back(entry->d_name);
    }
    ::closedir(listing);
    std::size_t removed = 0;
    for (const std::string& name : dead)
        if (remove_folder_at(folder.get(), name.c_str())) ++removed;
    // Fails while any session of the account still has its folder there.
    (void)::rmdir(path);
    return removed;
}

// A leftover under our own pid: its process is gone (the ID is ours now).
// Moved aside, so that making our folder costs no more than a rename; the
// sweep at our end removes it.
bool move_aside(int account, const char* name) {
    unsigned random_part = 0;
    if (::getrandom(&random_part, sizeof random_part, 0) != sizeof random_part)
        random_part = static_cast<unsigned>(std::rand());
    char aside[64];
    std::snprintf(aside, sizeof aside, "%s.%08x", name, random_part);
    return ::renameat(account, name, account, aside) == 0;
}

enum class made { yes, again, not_ours, failed };

// One attempt at "<account>/<pid>".
made try_make(const char* account, const char* name) {
    if (::mkdir(account, 0700) != 0 && errno != EEXIST) return made::failed;
    struct stat st;
    const util::unique_fd folder = open_account_folder(account, ::geteuid(), &st);
    if (!folder.valid()) {
        if (errno == ENOENT) return made::again;  // an ending session removed it
        const bool taken = errno == EPERM || errno == EACCES || errno == ELOOP || errno == ENOTDIR;
        return taken ? made::not_ours : made::failed;
    }
    if ((st.st_mode & 07777) != 0700 && ::fchmod(folder.get(), 0700) != 0) return made::failed;
    if (::mkdirat(folder.get(), name, 0700) == 0) return made::yes;
    if (errno == ENOENT) return made::again;  // removed between open and mkdirat
    if (errno == EEXIST && move_aside(folder.get(), name)) return made::again;
    return made::failed;
}

// A folder of our own beside the account folder whose name another user holds.
const char* make_fallback(const char* account) {
    char tried[spool_path_capacity];
    std::memcpy(tried, account, sizeof tried);
    if (!format(own.path, "%s-XXXXXX", account) || ::mkdtemp(own.path) == nullptr) return nullptr;
    util::log_line(LOG_WARNING, "spool folder %s is not the account's; using %s", tried, own.path);
    own.account[0] = '\0';
    own.made = true;
    return own.path;
}

}  // namespace

const char* make_session_spool_folder(const char* spool_root) {
    char name[16];
    std::snprintf(name, sizeof name, "%u", static_cast<unsigned>(::getpid()));
    char account[spool_path_capacity];
    if (spool_root == nullptr || !account_folder_path(account, spool_root, ::geteuid()) ||
        !format(own.path, "%s/%s", account, name)) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to make spool folder",
                       spool_root != nullptr ? spool_root : "", std::strerror(ENAMETOOLONG));
        return nullptr;
    }
    made outcome = made::again;
    for (int attempt = 0; attempt < most_attempts && outcome == made::again; ++attempt)
        outcome = try_make(account, name);
    const int error = errno;
    if (outcome == made::yes) {
        std::memcpy(own.account, account, sizeof own.account);
        own.made = true;
        return own.path;
    }
    if (outcome == made::not_ours) {
        if (const char* path = make_fallback(account)) return path;
    }
    util::log_line(LOG_ERR, "%s: %s: %s", "failed to make spool folder", own.path,
                   std::strerror(outcome == made::again ? EAGAIN : error));
    return nullptr;
}

void remove_session_spool_folder() {
    if (!own.made) return;
    own.made = false;
    // Normally empty by now: the spool files went by the table.
    if (::rmdir(own.path) != 0 && errno != ENOENT) {
        const util::unique_fd folder(
            ::open(own.path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (folder.valid()) empty_folder(folder.get());
        (void)::rmdir(own.path);
    }
    if (own.account[0] != '\0') (void)sweep_account_folder(own.account, ::geteuid());
}

std::size_t sweep_dead_session_folders(const char* spool_root, uid_t uid) {
    char account[spool_path_capacity];
    if (spool_root == nullptr || !account_folder_path(account, spool_root, uid)) return 0;
    return sweep_account_folder(account, uid);
}

}  // namespace tollmar::maildrop
