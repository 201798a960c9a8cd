#include "maildrop/mailbox.hpp"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "maildrop/index.hpp"
#include "maildrop/lock.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/served_maildrop.hpp"
#include "maildrop/spool_folder.hpp"
#include "maildrop/update.hpp"
#include "util/log.hpp"

namespace tollmar::maildrop {

namespace {

mailbox* held = nullptr;  // see hold_for_exit

}  // namespace

void name_mailbox(mailbox& box, const char* path) {
    box.path[0] = '\0';
    box.locked = false;
    box.finished = false;
    const std::size_t length = path != nullptr ? std::strlen(path) : sizeof box.path;
    if (length < sizeof box.path) std::memcpy(box.path, path, length + 1);
}

bool lock_mailbox(mailbox& box, uid_t uid, gid_t gid) {
    if (box.path[0] == '\0' || !lock_maildrop(box.path, uid, gid)) return false;
    box.locked = true;
    return true;
}

void refresh_mailbox(mailbox& box) {
    if (box.locked) refresh_maildrop_lock(box.path);
}

bool scan_mailbox(mailbox& box, const char* spool_folder) {
    if (box.path[0] == '\0') return false;
    return spool_folder != nullptr ? scan_maildrop(box.messages, box.path, spool_folder)
                                   : scan_maildrop_in_place(box.messages, box.path);
}

std::int32_t message_count(const mailbox& box) {
    return box.messages.count;
}

message_entry* message_at(mailbox& box, unsigned long number) {
    const message_table& table = box.messages;
    if (number < 1 || table.count <= 0 || number > static_cast<unsigned long>(table.count))
        return nullptr;
    return &table.entries[number - 1];
}

bool served_in_place(const mailbox& box) {
    return box.messages.in_place;
}

bool finish_mailbox(mailbox& box, bool deletions_pending) {
    box.finished = true;
    const bool removed =
        !deletions_pending || (box.path[0] != '\0' && update_maildrop(box.messages, box.path));
    // Served in place, a session that rewrote nothing still owes the index
    // of what it read (a rewrite wrote it already); otherwise the maildrop
    // is final and the lock goes before the answer.
    if (!(removed && box.messages.in_place)) release_mailbox_lock(box);
    return removed;
}

void close_mailbox(mailbox& box) {
    // A session that ends without QUIT leaves the maildrop as it was, and
    // its table is still worth keeping for the next login.
    if (box.locked) write_index_at_end(box.messages, box.path);
    // Giving the lock up is what keeps a later run from removing a lock file
    // that another session has created since.
    release_mailbox_lock(box);
    release_removed_journal();
    remove_spool_files(box.messages);
    close_served_maildrop(box.messages);
    release_message_table(box.messages);
    // Off the client's path: what dead or robbed sessions left beside the
    // maildrop, and the folders of the account's killed sessions.
    if (box.finished && box.path[0] != '\0') sweep_lock_leftovers(box.path);
    box.path[0] = '\0';
    box.finished = false;
    // After the lock: the folder's clean-up may sweep a killed session's files.
    remove_session_spool_folder();
}

void release_mailbox_lock(mailbox& box) {
    if (!box.locked) return;
    unlock_maildrop(box.path);
    box.locked = false;
}

void hold_for_exit(mailbox* box) {
    held = box;
}

void close_held_mailbox() {
    if (held != nullptr) close_mailbox(*held);
}

void on_broken_pipe(int sig) {
    if (held != nullptr) release_mailbox_lock(*held);
    util::log_line(LOG_INFO, "%s: %u", "caught signal", static_cast<unsigned>(sig));
    std::exit(1);
}

}  // namespace tollmar::maildrop
