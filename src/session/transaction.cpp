// The transaction state: the command loop and the QUIT sequence.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "channel/line_io.hpp"
#include "channel/tls.hpp"
#include "maildrop/index.hpp"
#include "maildrop/lock.hpp"
#include "maildrop/maildrop_path.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/served_maildrop.hpp"
#include "maildrop/spool_folder.hpp"
#include "maildrop/update.hpp"
#include "session/command_tables.hpp"
#include "session/commands.hpp"
#include "session/phases.hpp"
#include "session/summary.hpp"
#include "util/ending.hpp"

namespace tollmar::session {

namespace {

void release_maildrop(const char* path) {
    maildrop::unlock_maildrop(path);
    maildrop::forget_maildrop_path();
}

}  // namespace

// With deletions pending the maildrop is written back first, so that the
// answer can say whether the deleted messages are really gone; a client that
// has left by then changes nothing, as the rewrite is already done. The
// maildrop is final at that point, so the lock goes before the answer: a
// client that reconnects at once finds it free. Only then, with the client
// served, are the rewrite's removed journal closed (freeing its blocks) and
// the spool files removed (should the answer fail, the at-exit clean-up
// removes them, and no longer touches the lock).
//
// Served in place, a session that rewrote nothing still owes the index of
// what it read (a rewrite wrote it already). The index is only a cache,
// refused at the next login when it is damaged or stale, so the client does
// not wait for it: the answer goes first, and the index is written and
// synced after it, while the dot-lock still keeps other sessions out (a
// client that reconnects at once waits for the lock that long).
void cmd_quit(int fd, const char*) {
    const char* path = maildrop::maildrop_path();
    const bool removed = !maildrop_dirty || maildrop::update_maildrop(path);
    const bool index_after_answer = removed && maildrop::messages.in_place;
    summary_quit(removed);
    std::string swept_path = path != nullptr ? path : "";
    // Should the answer fail, the at-exit clean-up writes the index and
    // unlocks as below.
    if (!index_after_answer) release_maildrop(path);
    channel::send_text(
        fd, removed ? "+OK\r\n" : "-ERR [SYS/TEMP] some deleted messages not removed\r\n");
    channel::flush_output(fd);  // replies collected for pipelined commands too
    close(fd);
    if (index_after_answer) {
        maildrop::write_index_at_end(path);
        release_maildrop(path);
    }
    channel::tls_end();
    maildrop::release_removed_journal();
    maildrop::remove_spool_files();
    maildrop::close_served_maildrop();
    maildrop::release_message_table();
    // Off the client's path: what dead or robbed sessions left beside the
    // maildrop, and the folders of the account's killed sessions.
    if (!swept_path.empty()) maildrop::sweep_lock_leftovers(swept_path.c_str());
    maildrop::remove_session_spool_folder();
}

void command_loop(int fd, char* command_line) {
    maildrop_dirty = false;
    for (;;) {
        // End of input: the client is gone (or has shut its sending side).
        // Nobody is left to answer, and without QUIT nothing is written back;
        // the at-exit clean-up removes the spool files and the lock.
        if (channel::read_line(fd, command_line, command_buffer_size) == 0) {
            util::note_ending(util::ending::broken);
            std::exit(1);
        }

        // Pipelined commands: while the next one is already buffered, the
        // replies are collected and go out together once the input runs dry
        // (the reader flushes before it waits on the client).
        if (channel::input_pending()) channel::cork_output();

        const command* match = find_command(transaction_commands, command_line);
        if (match == nullptr) {
            channel::send_text(fd, "-ERR command not understood\r\n");
            continue;
        }
        match->handler(fd, command_line);
        if (match->ends_state) return;
    }
}

}  // namespace tollmar::session
