/* Preloaded into the server by the end-to-end tests: makes the identity call
 * named by $TOLLMAR_FAIL_CALL fail with EPERM, so that the server's handling
 * of a failed switch of identity can be observed. Other calls pass through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <grp.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int should_fail(const char* name) {
    const char* which = getenv("TOLLMAR_FAIL_CALL");
    return which != NULL && strcmp(which, name) == 0;
}

#define WRAP(name, type)                                            \
    int name(type id) {                                             \
        if (should_fail(#name)) {                                   \
            errno = EPERM;                                          \
            return -1;                                              \
        }                                                           \
        int (*real)(type) = (int (*)(type))dlsym(RTLD_NEXT, #name); \
        return real(id);                                            \
    }

WRAP(setuid, uid_t)
WRAP(seteuid, uid_t)
WRAP(setgid, gid_t)
WRAP(setegid, gid_t)

/* Only the session's switch to the group mail fails: the pre-login process
 * drops every group with an empty list, and must still run for a login. */
int setgroups(size_t size, const gid_t *list) {
    if (should_fail("setgroups") && size > 0) {
        errno = EPERM;
        return -1;
    }
    int (*real)(size_t, const gid_t *) =
        (int (*)(size_t, const gid_t *))dlsym(RTLD_NEXT, "setgroups");
    return real(size, list);
}
