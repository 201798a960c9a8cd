#include "session/syscall_filter.hpp"

#include <seccomp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>

namespace tollmar::session {

namespace {

// On descriptors the process holds, memory, time, its own signals and end.
constexpr int allowed[] = {
    SCMP_SYS(read),
    SCMP_SYS(write),
    SCMP_SYS(readv),
    SCMP_SYS(writev),
    SCMP_SYS(recvfrom),
    SCMP_SYS(sendto),
    SCMP_SYS(recvmsg),
    SCMP_SYS(sendmsg),
    SCMP_SYS(poll),
    SCMP_SYS(ppoll),
    SCMP_SYS(close),
    SCMP_SYS(shutdown),
    SCMP_SYS(fcntl),
    SCMP_SYS(fstat),
    SCMP_SYS(newfstatat),
    SCMP_SYS(lseek),
    SCMP_SYS(brk),
    SCMP_SYS(mmap),
    SCMP_SYS(munmap),
    SCMP_SYS(mremap),
    SCMP_SYS(mprotect),
    SCMP_SYS(madvise),
    SCMP_SYS(futex),
    SCMP_SYS(getrandom),
    SCMP_SYS(clock_gettime),
    SCMP_SYS(clock_nanosleep),
    SCMP_SYS(nanosleep),
    SCMP_SYS(gettimeofday),
    SCMP_SYS(rt_sigaction),
    SCMP_SYS(rt_sigprocmask),
    SCMP_SYS(rt_sigreturn),
    SCMP_SYS(sigaltstack),
    SCMP_SYS(restart_syscall),
    SCMP_SYS(getpid),
    SCMP_SYS(gettid),
    SCMP_SYS(getppid),
    SCMP_SYS(exit),
    SCMP_SYS(exit_group),
    SCMP_SYS(sched_yield),
};

bool build(scmp_filter_ctx filter) {
    for (int call : allowed) {
        if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) != 0) return false;
    }
    // Signals to itself only (abort, raise); nothing reaches another process.
    const auto self = static_cast<scmp_datum_t>(getpid());
    if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1, SCMP_A0(SCMP_CMP_EQ, self)) !=
        0)
        return false;
    // The relay drops its parent-death signal once the session may end first.
    return seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(prctl), 1,
                            SCMP_A0(SCMP_CMP_EQ, PR_SET_PDEATHSIG)) == 0;
}

}  // namespace

bool install_syscall_filter(const char** why) {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (filter == nullptr) {
        errno = ENOMEM;
        *why = "seccomp_init";
        return false;
    }
    const bool built = build(filter);
    const int rc = built ? seccomp_load(filter) : 0;
    seccomp_release(filter);
    if (!built || rc != 0) {
        errno = built ? -rc : EINVAL;
        *why = built ? "seccomp_load" : "seccomp_rule_add";
        return false;
    }
    return true;
}

}  // namespace tollmar::session
