// The transaction state: the command loop and the QUIT sequence.
#include <unistd.h>

#include <cstdlib>

#include "channel/line_io.hpp"
#include "channel/tls.hpp"
#include "maildrop/mailbox.hpp"
#include "session/command_tables.hpp"
#include "session/commands.hpp"
#include "session/drop.hpp"
#include "session/phases.hpp"
#include "session/summary.hpp"
#include "util/ending.hpp"

namespace tollmar::session {

// With deletions pending the maildrop is written back first, so that the
// answer can say whether the deleted messages are really gone; a client that
// has left by then changes nothing, as the rewrite is already done. The
// maildrop is final at that point, so the lock goes before the answer: a
// client that reconnects at once finds it free. Only then, with the client
// served, are the rewrite's removed journal closed (freeing its blocks) and
// the spool files removed (should the answer fail, the at-exit hook removes
// them, and no longer touches the lock).
//
// Served in place, a session that rewrote nothing still owes the index of
// what it read (a rewrite wrote it already). The index is only a cache,
// refused at the next login when it is damaged or stale, so the client does
// not wait for it: the answer goes first, and the index is written and
// synced after it, while the dot-lock still keeps other sessions out (a
// client that reconnects at once waits for the lock that long).
void cmd_quit(int fd, const char*) {
    const bool removed = maildrop::finish_mailbox(drop, maildrop_dirty);
    summary_quit(removed);
    // Should the answer fail, the at-exit hook closes the mailbox as below.
    channel::send_text(
        fd, removed ? "+OK\r\n" : "-ERR [SYS/TEMP] some deleted messages not removed\r\n");
    channel::flush_output(fd);  // replies collected for pipelined commands too
    close(fd);
    channel::tls_end();
    maildrop::close_mailbox(drop);
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
