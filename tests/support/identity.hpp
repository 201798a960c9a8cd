// Switching a forked test process to another user for good, as a session
// becomes its account: every user and group ID, the supplementary groups and,
// with them, every capability root had. Only root can call it; the tests that
// do carry the label "root" (tests/root_tests.cmake).
#pragma once
#include <grp.h>
#include <unistd.h>

namespace tollmar::test {

// Accounts that exist on no test machine, so that no real process shares them.
constexpr uid_t account_a = 4242;
constexpr uid_t account_b = 4343;

// True once the process is uid/gid and cannot become root again.
inline bool become_user(uid_t uid, gid_t gid) {
    return ::setgroups(1, &gid) == 0 && ::setresgid(gid, gid, gid) == 0 &&
           ::setresuid(uid, uid, uid) == 0 && ::setuid(0) != 0;
}

}  // namespace tollmar::test
