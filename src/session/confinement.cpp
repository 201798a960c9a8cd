#include "session/confinement.hpp"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/unique_fd.hpp"

namespace tollmar::session {

namespace {

// The system headers may predate the rights and fields of later ABIs; the
// values are the kernel's and never change.
constexpr std::uint64_t fs_write_file = 1ULL << 1;
constexpr std::uint64_t fs_read_file = 1ULL << 2;
constexpr std::uint64_t fs_read_dir = 1ULL << 3;
constexpr std::uint64_t fs_remove_dir = 1ULL << 4;
constexpr std::uint64_t fs_remove_file = 1ULL << 5;
constexpr std::uint64_t fs_make_reg = 1ULL << 8;
constexpr std::uint64_t fs_abi1 = (1ULL << 13) - 1;  // execute .. make_sym
constexpr std::uint64_t fs_refer = 1ULL << 13;       // ABI 2
constexpr std::uint64_t fs_truncate = 1ULL << 14;    // ABI 3
constexpr std::uint64_t fs_ioctl_dev = 1ULL << 15;   // ABI 5
constexpr std::uint64_t net_bind_tcp = 1ULL << 0;    // ABI 4
constexpr std::uint64_t net_connect_tcp = 1ULL << 1;
constexpr std::uint64_t scope_abstract_unix = 1ULL << 0;  // ABI 6

// struct landlock_ruleset_attr as of ABI 6; an older kernel takes the larger
// size as long as the fields it does not know are zero.
struct ruleset_attr {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net;
    std::uint64_t scoped;
};

// Reading, writing and cutting the maildrop and the files made beside it;
// making, renaming (within the folder) and removing them; listing the folder
// for the sweep of dead sessions' lock leftovers.
constexpr std::uint64_t file_rights =
    fs_read_file | fs_write_file | fs_truncate | fs_make_reg | fs_remove_file | fs_read_dir;
// In the spool root only the sweep: listing the account's folder, removing
// dead sessions' folders and what is in them, and its own folder at the end.
constexpr std::uint64_t sweep_rights = fs_read_dir | fs_remove_file | fs_remove_dir;

std::uint64_t fs_rights_of(int abi) {
    std::uint64_t rights = fs_abi1;
    if (abi >= 2) rights |= fs_refer;
    if (abi >= 3) rights |= fs_truncate;
    if (abi >= 5) rights |= fs_ioctl_dev;
    return rights;
}

int landlock_abi() {
    return static_cast<int>(
        syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION));
}

bool add_rule(int ruleset, const beneath_rule& rule) {
    const util::unique_fd folder(::open(rule.path, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) return false;
    landlock_path_beneath_attr beneath{};
    beneath.allowed_access = rule.access;
    beneath.parent_fd = folder.get();
    return syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &beneath, 0) == 0;
}

}  // namespace

bool plan_confinement(int abi, const char* maildrop_path, const char* spool_root,
                      const char* spool_folder, confinement_plan& plan) {
    plan = confinement_plan{};
    plan.handled_fs = fs_rights_of(abi);
    if (abi >= 4) plan.handled_net = net_bind_tcp | net_connect_tcp;
    if (abi >= 6) plan.scoped = scope_abstract_unix;

    const char* slash = std::strrchr(maildrop_path, '/');
    std::size_t length = slash == nullptr ? 1 : static_cast<std::size_t>(slash - maildrop_path);
    if (length >= sizeof plan.maildrop_folder) return false;
    if (slash == nullptr) {
        plan.maildrop_folder[0] = '.';
    } else if (length == 0) {
        plan.maildrop_folder[0] = '/';
    } else {
        std::memcpy(plan.maildrop_folder, maildrop_path, length);
    }
    plan.rules[plan.count++] = {plan.maildrop_folder, file_rights & plan.handled_fs};
    if (spool_folder != nullptr) {
        plan.rules[plan.count++] = {spool_folder, file_rights & plan.handled_fs};
        if (spool_root != nullptr)
            plan.rules[plan.count++] = {spool_root, sweep_rights & plan.handled_fs};
    }
    return true;
}

confinement confine_session(const char* maildrop_path, const char* spool_root,
                            const char* spool_folder, const char** why) {
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        *why = "no-new-privileges";
        return confinement::failed;
    }
    const int abi = landlock_abi();
    if (abi < 1) {
        if (errno == ENOSYS || errno == EOPNOTSUPP) return confinement::unsupported;
        *why = "landlock_create_ruleset";
        return confinement::failed;
    }
    static confinement_plan plan;
    if (!plan_confinement(abi, maildrop_path, spool_root, spool_folder, plan)) {
        errno = ENAMETOOLONG;
        *why = "the maildrop's folder";
        return confinement::failed;
    }
    const ruleset_attr attr{plan.handled_fs, plan.handled_net, plan.scoped};
    const util::unique_fd ruleset(
        static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0)));
    if (!ruleset.valid()) {
        *why = "landlock_create_ruleset";
        return confinement::failed;
    }
    for (int i = 0; i < plan.count; ++i) {
        if (!add_rule(ruleset.get(), plan.rules[i])) {
            *why = plan.rules[i].path;
            return confinement::failed;
        }
    }
    if (syscall(SYS_landlock_restrict_self, ruleset.get(), 0) != 0) {
        *why = "landlock_restrict_self";
        return confinement::failed;
    }
    return confinement::done;
}

}  // namespace tollmar::session
