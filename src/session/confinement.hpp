// The session's confinement: once the maildrop is scanned, before the first
// command is read, the session process restricts itself with Landlock to the
// folder of its maildrop (the maildrop, its dot-lock, journal and index names
// beside it) and its own spool folder, with no TCP at all. Code that took the
// session over can then reach no file outside these folders, whatever the
// account's permissions allow (another account's maildrop readable by group
// mail, the account's home, /etc), and no other host.
#pragma once
#include <cstdint>

namespace tollmar::session {

// The rights beneath one folder.
struct beneath_rule {
    const char* path;
    std::uint64_t access;
};

// What a session is confined to, for one Landlock ABI version.
struct confinement_plan {
    std::uint64_t handled_fs = 0;   // rights refused unless a rule grants them
    std::uint64_t handled_net = 0;  // TCP bind and connect, granted nowhere
    std::uint64_t scoped = 0;       // abstract unix sockets outside the session
    beneath_rule rules[3]{};
    int count = 0;
    char maildrop_folder[4096]{};
};

// Fills plan for the kernel's Landlock ABI abi (1 and up): the maildrop's
// folder, and with a spool folder (nullptr when served in place) that folder
// and, for the sweep of dead sessions' folders, spool_root. Only rights the
// ABI knows are asked for. false when the maildrop's folder does not fit.
bool plan_confinement(int abi, const char* maildrop_path, const char* spool_root,
                      const char* spool_folder, confinement_plan& plan);

enum class confinement { done, unsupported, failed };

// Confines this process for good, no-new-privileges first (set even when
// Landlock is missing, for the system-call filter that follows). unsupported
// when the kernel has no Landlock (built without it, or not enabled at boot):
// the process goes on as it was. failed with *why and errno set otherwise.
confinement confine_session(const char* maildrop_path, const char* spool_root,
                            const char* spool_folder, const char** why);

}  // namespace tollmar::session
