// The scan of the mbox maildrop into one spool file per message.
#pragma once
#include <sys/types.h>

#include <cstddef>

namespace tollmar::maildrop {

// Completes an interrupted update if one is journaled, then copies every
// message into its own spool file in spool_folder and fills `messages`. True
// on success (possibly no messages), false on failure.
bool scan_maildrop(const char* path, const char* spool_folder);

// The same table without spool files: each entry records where its message
// starts in the maildrop, which stays open for reading them
// (served_maildrop.hpp). The table comes from the index beside the maildrop
// where that still describes it (index.hpp), so only what was appended since
// is read.
bool scan_maildrop_in_place(const char* path);

// Removes, from spool_folder, spool files that sessions which died without
// their clean-up (SIGKILL, a crash) left: regular files with one link, owned
// by uid, named ".tollmar_<pid>_<tag>_XXXXXX" with this host's origin tag
// (same boot, same PID namespace) and the ID of a process that no longer
// exists. A file of a live process, of another origin (another container or
// boot sharing the folder) or of another user is left alone. Looks at no
// more than a bounded number of names and removes at most `most` files, so a
// login never stalls on a huge folder; returns how many it removed.
std::size_t sweep_dead_spool_files(const char* spool_folder, uid_t uid, std::size_t most);

}  // namespace tollmar::maildrop
