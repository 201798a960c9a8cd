#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "maildrop/origin.hpp"
#include "maildrop/scan.hpp"
#include "util/unique_fd.hpp"

namespace tollmar::maildrop {

namespace {

// Names looked at per sweep: a shared /tmp may hold many files of others.
constexpr std::size_t most_names = 65536;

// Reads decimal digits up to '_' into *value; the position after the '_', or
// nullptr when the text is not digits followed by '_' or does not fit.
const char* number_then_underscore(const char* p, unsigned long* value) {
    const char* start = p;
    unsigned long n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (p - start >= 10) return nullptr;
        n = n * 10 + static_cast<unsigned long>(*p - '0');
    }
    if (p == start || *p != '_') return nullptr;
    *value = n;
    return p + 1;
}

// The pid of ".tollmar_<pid>_<tag>_XXXXXX" when the tag is ours and the
// six characters are what mkstemp makes; 0 otherwise.
pid_t spool_owner(const char* name, unsigned tag) {
    static const char prefix[] = ".tollmar_";
    if (std::strncmp(name, prefix, sizeof prefix - 1) != 0) return 0;
    unsigned long pid = 0;
    unsigned long name_tag = 0;
    const char* p = number_then_underscore(name + sizeof prefix - 1, &pid);
    if (p != nullptr) p = number_then_underscore(p, &name_tag);
    if (p == nullptr || name_tag != tag || std::strlen(p) != 6 || pid == 0 || pid > 0x7fffffff)
        return 0;
    for (; *p != '\0'; ++p)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z')))
            return 0;
    return static_cast<pid_t>(pid);
}

}  // namespace

std::size_t sweep_dead_spool_files(const char* spool_folder, uid_t uid, std::size_t most) {
    const unsigned tag = origin_tag();
    if (tag == 0 || spool_folder == nullptr || most == 0) return 0;
    const util::unique_fd folder(
        ::open(spool_folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) return 0;
    DIR* listing = ::fdopendir(::dup(folder.get()));
    if (listing == nullptr) return 0;
    std::size_t looked = 0;
    std::size_t removed = 0;
    while (removed < most && looked < most_names) {
        const dirent* entry = ::readdir(listing);
        if (entry == nullptr) break;
        ++looked;
        const pid_t pid = spool_owner(entry->d_name, tag);
        if (pid == 0 || pid == ::getpid()) continue;
        struct stat st;
        if (::fstatat(folder.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != uid || st.st_nlink != 1)
            continue;
        // A process of another user answers EPERM: alive, its file stays.
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;
        if (::unlinkat(folder.get(), entry->d_name, 0) == 0) ++removed;
    }
    ::closedir(listing);
    return removed;
}

}  // namespace tollmar::maildrop
