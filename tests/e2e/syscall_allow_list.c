/* Runs a command under a system-call allow-list, as systemd applies a unit's
 * SystemCallFilter= (an allow-list) with SystemCallErrorNumber=,
 * SystemCallArchitectures=native and RestrictAddressFamilies=:
 *   syscall_allow_list [-f <family>]... <errno> <name>... -- <command> <arg>...
 * Every named call is allowed (names this architecture lacks are skipped, as
 * systemd skips them); any other fails with <errno>, and a call of another
 * architecture ends the process. With -f, socket(2) is allowed for the
 * families given only (others fail with <errno>, where systemd gives
 * EAFNOSUPPORT).
 * no-new-privileges is set, as systemd does before it loads a filter. */
#include <errno.h>
#include <seccomp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    int families[16];
    int family_count = 0;
    int i = 1;
    for (; i + 1 < argc && strcmp(argv[i], "-f") == 0 && family_count < 16; i += 2)
        families[family_count++] = atoi(argv[i + 1]);
    if (argc - i < 3) {
        fprintf(stderr, "usage: %s [-f <family>]... <errno> <name>... -- <command>...\n",
                argv[0]);
        return 2;
    }
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO((unsigned)atoi(argv[i++])));
    if (filter == NULL) return 2;
    if (family_count > 0) {
        for (int f = 0; f < family_count; ++f)
            if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(socket), 1,
                                 SCMP_A0(SCMP_CMP_EQ, (scmp_datum_t)families[f])) != 0)
                return 2;
    }
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        const int call = seccomp_syscall_resolve_name(argv[i]);
        if (call == __NR_SCMP_ERROR || (family_count > 0 && call == SCMP_SYS(socket))) continue;
        if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) != 0) {
            fprintf(stderr, "cannot allow %s\n", argv[i]);
            return 2;
        }
    }
    if (i + 1 >= argc) return 2;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || seccomp_load(filter) != 0) {
        perror("seccomp");
        return 2;
    }
    execv(argv[i + 1], argv + i + 1);
    perror(argv[i + 1]);
    return 127;
}
