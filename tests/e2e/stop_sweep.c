/* Preloaded into the server by the end-to-end tests: a process that is no
 * longer root stops itself (SIGSTOP) as it starts to list a folder, so that
 * the listener's clean-up helper, which lists the account's spool folder,
 * can be looked at while it runs as the account; once, at its first listing.
 * Set TOLLMAR_STOP_SWEEP. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

static int stopped;

DIR* fdopendir(int fd) {
    if (!stopped && getenv("TOLLMAR_STOP_SWEEP") != NULL && getuid() != 0) {
        stopped = 1;
        raise(SIGSTOP);
    }
    DIR* (*real)(int) = (DIR * (*)(int)) dlsym(RTLD_NEXT, "fdopendir");
    return real(fd);
}
