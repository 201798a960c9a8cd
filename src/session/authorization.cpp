// The authorization phase, in the jailed pre-login process: USER and PASS in
// either order, one attempt, the verdict asked of the root side.

#include <cstdlib>
#include <cstring>

#include "auth/credentials.hpp"
#include "channel/line_io.hpp"
#include "channel/wait.hpp"
#include "session/command_tables.hpp"
#include "session/commands.hpp"
#include "session/phases.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"
#include "util/strlcpy.hpp"
#include "util/text.hpp"

namespace tollmar::session {

namespace {

constexpr std::size_t line_copy_size = command_buffer_size + 1;

// Unknown or malformed lines before login; the last of them ends the session.
constexpr unsigned most_bad_commands = 20;

struct login_state {
    char user_line[line_copy_size];
    char pass_line[line_copy_size];
    bool have_user;
    bool have_pass;
};

// Process-wide rather than on the stack: the copies hold the password and
// must not linger on the stack of later phases; they are wiped once the
// verdict is known.
login_state state;

// Keeps the whole line; the first of USER and PASS is answered at once, the
// second is answered by the verdict or by the maildrop phase.
void take_line(int fd, const char* line, char* copy, bool& have, bool other_have) {
    util::strlcpy(copy, line, line_copy_size);
    have = true;
    if (!other_have) channel::send_text(fd, "+OK\r\n");
}

}  // namespace

void cmd_user(int fd, const char* line) {
    take_line(fd, line, state.user_line, state.have_user, state.have_pass);
}
void cmd_pass(int fd, const char* line) {
    take_line(fd, line, state.pass_line, state.have_pass, state.have_user);
}
void cmd_auth_quit(int fd, const char*) {
    channel::send_text(fd, "+OK\r\n");
    std::exit(0);
}

void authorize(int fd, char* command_line, char* login_name, verdict_source ask_verdict) {
    state.have_user = false;
    state.have_pass = false;
    unsigned bad_commands = 0;

    while (!(state.have_user && state.have_pass)) {
        // The client has closed its side: nobody is left to answer.
        if (channel::read_line(fd, command_line, command_buffer_size) == 0) std::exit(1);

        const command* match = find_command(authorization_commands, command_line);
        if (match != nullptr) {
            match->handler(fd, command_line);
        } else if (++bad_commands < most_bad_commands) {
            channel::send_text(fd, "-ERR\r\n");
        } else {
            // A client that is not speaking POP3 gets no more answers.
            channel::send_text(fd, "-ERR too many bad commands\r\n");
            util::log_line(LOG_WARNING, "%s from %s", "too many bad commands", util::client_host());
            std::exit(1);
        }
    }
    explicit_bzero(command_line, command_buffer_size);

    util::cut_at_line_end(state.user_line);
    util::cut_at_line_end(state.pass_line);
    const auth::login_verdict verdict = ask_verdict(state.user_line + 5, state.pass_line + 5);
    // No copy of the password outlives the check: ours, and the bytes of the
    // PASS line still in the reader's buffer (the line after it stays).
    explicit_bzero(state.pass_line, sizeof state.pass_line);
    channel::wipe_consumed_input();
    util::strlcpy(login_name, state.user_line + 5, line_copy_size);

    if (verdict != auth::verdict_accepted) {
        channel::send_text(fd, verdict == auth::verdict_refused
                                   ? "-ERR [AUTH] authentication failed\r\n"
                                   : "-ERR [SYS/TEMP] temporary resource problem\r\n");
        std::exit(1);
    }
    // The relay that may follow over TLS is not bound by the login deadline.
    channel::set_phase_deadline(0);
}

}  // namespace tollmar::session
