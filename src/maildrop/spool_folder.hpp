// The session's own spool folder, private to its account, and the clean-up of
// the folders that killed sessions left.
//
// A session keeps its spool files in "<spool root>/.tollmar-<uid>-<tag>/<pid>"
// (the root is -x, <tag> the origin tag, see origin.hpp). Both folders belong
// to the account and have mode 0700: other users see neither the files nor
// their number or sizes, the root holds one entry per account with a session
// of this origin, and each session's files leave with its folder, so the root
// never grows with the size or the number of the maildrops served.
//
// The account folder is also the index of the account's sessions: a session
// killed without its clean-up (SIGKILL, a crash) leaves "<pid>" behind, and
// whoever sweeps the account folder (the account's next session as it ends,
// or the listener's helper after a session died by a signal) removes the
// folders of processes that no longer exist, without ever listing the root.
#pragma once
#include <sys/types.h>

#include <cstddef>

namespace tollmar::maildrop {

// Makes this session's folder as the effective user, who must be the
// account: the account folder when missing (its mode put back to 0700 when
// the account changed it), then "<pid>" inside. A leftover under our own pid
// (a dead session of the account with the same ID) is moved aside for the
// sweep. When the account folder's name is held by anything else than a
// folder of the account (another user planted it), the session uses a folder
// of its own from mkdtemp beside it and logs a warning: only a killed
// session's files in such a folder are then left for the administrator.
// Returns the folder's path, or nullptr (logged at LOG_ERR) on failure.
const char* make_session_spool_folder(const char* spool_root);

// Removes this session's folder (and whatever is still in it), then the
// folders of the account's dead sessions, then the account folder when it is
// empty. Does nothing when no folder was made; a second call does nothing.
void remove_session_spool_folder();

// Run as the account uid: removes from the account folder in spool_root the
// folders of sessions whose process no longer exists ("<pid>" with kill(pid,
// 0) failing with ESRCH; "<pid>.<tail>", moved aside as dead) and anything
// in them but folders, then the account folder when it is empty. Only a
// folder owned by uid is touched; with an unknown origin nothing is judged.
// Looks at a bounded number of names. Returns how many folders it removed.
std::size_t sweep_dead_session_folders(const char* spool_root, uid_t uid);

}  // namespace tollmar::maildrop
