#include <unistd.h>

#include <cstdlib>

#include "maildrop/index.hpp"
#include "maildrop/lock.hpp"
#include "maildrop/maildrop_path.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/seams.hpp"
#include "maildrop/served_maildrop.hpp"
#include "maildrop/spool_folder.hpp"
#include "maildrop/update.hpp"
#include "util/log.hpp"

namespace tollmar::maildrop {

void remove_spool_files() {
    char spool_path[spool_path_capacity];
    for (std::int32_t i = 0; i < messages.count; ++i)
        if (spool_path_of(messages.entries[i], spool_path)) ::unlink(spool_path);
}

void cleanup_at_exit() {
    remove_spool_files();
    // A session that ends without QUIT leaves the maildrop as it was, and
    // its table is still worth keeping for the next login.
    write_index_at_end(maildrop_path());
    close_served_maildrop();
    release_message_table();
    // Forgetting the path is what keeps a later run from removing a lock file
    // that another session has created since.
    const char* path = maildrop_path();
    if (path != nullptr) {
        unlock_maildrop(path);
        forget_maildrop_path();
    }
    // After the lock: the folder's clean-up may sweep a killed session's files.
    remove_session_spool_folder();
}

void on_broken_pipe(int sig) {
    const char* path = maildrop_path();
    if (path != nullptr) {
        unlock_maildrop(path);
        forget_maildrop_path();
    }
    util::log_line(LOG_INFO, "%s: %u", "caught signal", static_cast<unsigned>(sig));
    std::exit(1);
}

}  // namespace tollmar::maildrop
