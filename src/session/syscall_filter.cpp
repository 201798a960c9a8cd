#include "session/syscall_filter.hpp"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace tollmar::session {

namespace {

// On descriptors the process holds, memory, time, its own signal handling
// and its end. No signal can be sent at all: abort() still ends the process.
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

// What the session needs besides: once logged in, from the first command to
// its end (the rewrite, the index, the sweeps of dead sessions' files and
// folders) it opens, makes, renames and removes files where Landlock lets it,
// syncs them, and logs. It makes no folder, runs nothing, changes no
// identity, owner or mode, and opens no socket but a unix one for the log.
constexpr int session_allowed[] = {
    SCMP_SYS(openat),    SCMP_SYS(pread64),         SCMP_SYS(pwrite64),
    SCMP_SYS(ftruncate), SCMP_SYS(fallocate),       SCMP_SYS(fsync),
    SCMP_SYS(fdatasync), SCMP_SYS(sync_file_range), SCMP_SYS(copy_file_range),
    SCMP_SYS(fadvise64), SCMP_SYS(statx),           SCMP_SYS(getdents64),
    SCMP_SYS(dup),       SCMP_SYS(flock),           SCMP_SYS(link),
    SCMP_SYS(linkat),    SCMP_SYS(rename),          SCMP_SYS(renameat),
    SCMP_SYS(renameat2), SCMP_SYS(unlink),          SCMP_SYS(unlinkat),
    SCMP_SYS(rmdir),     SCMP_SYS(readlink),        SCMP_SYS(connect),
    SCMP_SYS(getuid),    SCMP_SYS(geteuid),         SCMP_SYS(getgid),
    SCMP_SYS(getegid),
};

// The compiled programs; a filter is a few hundred instructions at most.
sock_filter program[1024];
sock_fprog compiled{0, program};
sock_filter session_program[1024];
sock_fprog session_compiled{0, session_program};

// fcntl only reads and sets a descriptor's flags: naming a socket's owner
// (F_SETOWN, F_SETOWN_EX, F_SETSIG) and then asking for O_ASYNC would have
// the kernel send a signal of the process's choice to any process of the
// same account, another client's pre-login process or relay, whenever input
// arrives. The argument rules are spelt out rather than SCMP_A0(), whose
// compound literal leaves a field to the compiler's zeroing and draws
// -Wmissing-field-initializers.
bool add_fcntl_rules(scmp_filter_ctx filter) {
    constexpr int commands[] = {F_GETFD, F_SETFD, F_GETFL};
    for (const int command : commands) {
        const scmp_arg_cmp is_command{1, SCMP_CMP_EQ, static_cast<scmp_datum_t>(command), 0};
        if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(fcntl), 1, is_command) != 0)
            return false;
    }
    const scmp_arg_cmp is_setfl{1, SCMP_CMP_EQ, F_SETFL, 0};
    const scmp_arg_cmp no_async{2, SCMP_CMP_MASKED_EQ, O_ASYNC, 0};
    return seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(fcntl), 2, is_setfl, no_async) == 0;
}

bool add_rules(scmp_filter_ctx filter) {
    for (int call : allowed) {
        if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) != 0) return false;
    }
    if (!add_fcntl_rules(filter)) return false;
    // The relay drops its parent-death signal once the session may end first.
    const scmp_arg_cmp first_is_pdeathsig{0, SCMP_CMP_EQ, PR_SET_PDEATHSIG, 0};
    return seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(prctl), 1, first_is_pdeathsig) == 0;
}

// The session's locks on its maildrop (lockf) and the descriptor copies of a
// folder listing, besides the flags; kill only asks whether a process
// exists (signal 0, for the sweeps), and a socket is a unix one (the log).
bool add_session_rules(scmp_filter_ctx filter) {
    if (!add_rules(filter)) return false;
    for (int call : session_allowed) {
        if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) != 0) return false;
    }
    constexpr int commands[] = {F_GETLK, F_SETLK, F_SETLKW, F_DUPFD, F_DUPFD_CLOEXEC};
    for (const int command : commands) {
        const scmp_arg_cmp is_command{1, SCMP_CMP_EQ, static_cast<scmp_datum_t>(command), 0};
        if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(fcntl), 1, is_command) != 0)
            return false;
    }
    const scmp_arg_cmp no_signal{1, SCMP_CMP_EQ, 0, 0};
    const scmp_arg_cmp is_unix{0, SCMP_CMP_EQ, AF_UNIX, 0};
    return seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(kill), 1, no_signal) == 0 &&
           seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(socket), 1, is_unix) == 0;
}

// libseccomp 2.5 exports the program only to a descriptor: a pipe holds it.
bool export_program(scmp_filter_ctx filter, sock_fprog& into, std::size_t room) {
    int ends[2];
    if (pipe(ends) != 0) return false;
    const bool exported = seccomp_export_bpf(filter, ends[1]) == 0;
    close(ends[1]);
    const ssize_t n = exported ? read(ends[0], into.filter, room) : -1;
    close(ends[0]);
    if (n <= 0 || n % sizeof(sock_filter) != 0 || static_cast<std::size_t>(n) == room) return false;
    into.len = static_cast<unsigned short>(n / sizeof(sock_filter));
    return true;
}

// Anything off the list fails with EPERM, as in the jail: a call the
// session was not expected to make ends in its error path (a failed rewrite
// keeps every message), not in a kill half-way through a write.
bool build(bool (*rules)(scmp_filter_ctx), sock_fprog& into, std::size_t room, const char** why) {
    if (into.len != 0) return true;
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (filter == nullptr) {
        errno = ENOMEM;
        *why = "seccomp_init";
        return false;
    }
    const bool built = rules(filter) && export_program(filter, into, room);
    seccomp_release(filter);
    if (!built) {
        errno = EINVAL;
        *why = "building the system-call filter";
        return false;
    }
    return true;
}

bool install(sock_fprog& filter, const char** why) {
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter, 0, 0) != 0) {
        *why = "seccomp";
        return false;
    }
    return true;
}

}  // namespace

bool prepare_syscall_filter(const char** why) {
    return build(add_rules, compiled, sizeof program, why) &&
           build(add_session_rules, session_compiled, sizeof session_program, why);
}

bool install_syscall_filter(const char** why) {
    return build(add_rules, compiled, sizeof program, why) && install(compiled, why);
}

bool install_session_filter(const char** why) {
    return build(add_session_rules, session_compiled, sizeof session_program, why) &&
           install(session_compiled, why);
}

}  // namespace tollmar::session
