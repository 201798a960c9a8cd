// The transaction state: the command loop and the QUIT sequence.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "channel/line_io.hpp"
#include "channel/tls.hpp"
#include "maildrop/lock.hpp"
#include "maildrop/maildrop_path.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/update.hpp"
#include "session/capability.hpp"
#include "session/command_table.hpp"
#include "session/commands.hpp"
#include "session/phases.hpp"
#include "util/text.hpp"

namespace tollmar::session {

namespace {

struct loop_state {
    bool maildrop_dirty;
};

void on_stat(int fd, const char*, loop_state&) {
    std::int64_t count = 0;
    std::int64_t octets = 0;
    cmd_stat(&count, &octets);
    char reply[64];
    std::snprintf(reply, sizeof reply, "+OK %" PRId64 " %" PRId64 "\r\n", count, octets);
    channel::send_text(fd, reply);
}
void on_list(int fd, const char* line, loop_state&) {
    cmd_list(fd, line);
}
void on_retr(int fd, const char* line, loop_state&) {
    cmd_retr(fd, line);
}
void on_dele(int fd, const char* line, loop_state& s) {
    cmd_dele(fd, line);
    s.maildrop_dirty = true;  // whatever the reply: a failed DELE still rewrites
}
void on_noop(int fd, const char*, loop_state&) {
    channel::send_text(fd, "+OK\r\n");
}
void on_rset(int fd, const char*, loop_state& s) {
    s.maildrop_dirty = false;
    cmd_rset();
    channel::send_text(fd, "+OK\r\n");
}
void on_top(int fd, const char* line, loop_state&) {
    cmd_top(fd, line);
}
void on_uidl(int fd, const char* line, loop_state&) {
    cmd_uidl(fd, line + 4);
}
void on_capa(int fd, const char*, loop_state&) {
    capability_list(fd);
}

struct command {
    const char* word;
    std::size_t length;
    void (*handler)(int fd, const char* line, loop_state& s);
};

// First match wins, on a fixed number of leading characters, ignoring case.
// The blank belongs to RETR, DELE and TOP: they need an argument.
constexpr command commands[] = {
    {"STAT", 4, on_stat},  {"LIST", 4, on_list}, {"RETR ", 5, on_retr},
    {"DELE ", 5, on_dele}, {"NOOP", 4, on_noop}, {"RSET", 4, on_rset},
    {"TOP ", 4, on_top},   {"UIDL", 4, on_uidl}, {"CAPA", 4, on_capa},
};

// The client has its answer and a closed connection before the maildrop is
// written back; the update reports its own failures to the log.
void quit_sequence(int fd, bool maildrop_dirty) {
    channel::send_text(fd, "+OK\r\n");
    close(fd);
    channel::tls_end();
    const char* path = maildrop::maildrop_path();
    if (maildrop_dirty) maildrop::update_maildrop(path);
    maildrop::remove_spool_files();
    maildrop::release_message_table();
    maildrop::unlock_maildrop(path);
    maildrop::forget_maildrop_path();
}

}  // namespace

void command_loop(int fd, char* command_line) {
    loop_state state{false};
    for (;;) {
        // End of input: the client is gone (or has shut its sending side).
        // Nobody is left to answer, and without QUIT nothing is written back;
        // the at-exit clean-up removes the spool files and the lock.
        if (channel::read_line(fd, command_line, 4096) == 0) std::exit(1);

        if (util::starts_with_nocase(command_line, "QUIT", 4)) {
            quit_sequence(fd, state.maildrop_dirty);
            return;
        }
        const command* match = find_command(commands, command_line);
        if (match != nullptr)
            match->handler(fd, command_line, state);
        else
            channel::send_text(fd, "-ERR command not understood\r\n");
    }
}

}  // namespace tollmar::session
