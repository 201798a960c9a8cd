// The authorization phase: USER and PASS in either order, one attempt.

#include <cstdlib>
#include <cstring>

#include <time.h>

#include "auth/credentials.hpp"
#include "auth/login_throttle.hpp"
#include "channel/line_io.hpp"
#include "channel/wait.hpp"
#include "config/settings.hpp"
#include "session/command_tables.hpp"
#include "session/commands.hpp"
#include "session/phases.hpp"
#include "util/clock.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"
#include "util/signals.hpp"
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

// Waits out the delay of an address with recent refusals, before the verdict
// whatever it will be: a client must not learn a refusal sooner by hanging up
// early. A termination signal still ends the session at once.
void wait_before_verdict(std::int64_t delay_ms) {
    const std::int64_t until = util::monotonic_ms() + delay_ms;
    for (;;) {
        util::act_on_pending_signals();
        const std::int64_t left = until - util::monotonic_ms();
        if (left <= 0) return;
        timespec pause{};
        pause.tv_sec = static_cast<time_t>(left / 1000);
        pause.tv_nsec = static_cast<long>(left % 1000) * 1000000;
        nanosleep(&pause, nullptr);
    }
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

auth::login_verdict root_verdict(const char* name, const char* password) {
    const char* client = util::client_key(config::settings.ipv6_prefix_bits);
    wait_before_verdict(auth::login_delay_ms(client, name, util::monotonic_ms()));
    const auth::login_verdict verdict = auth::check_credentials(name, password);
    auth::record_login(client, name, verdict == auth::verdict_accepted, util::monotonic_ms());
    // The session, which will run as the account, must not hold the table.
    auth::end_login_throttle();
    if (verdict != auth::verdict_accepted) {
        // The cause is for the administrator only; the address (and an IPv6
        // client's prefix, under which it is throttled) lets a filter act on
        // repeated failures.
        const bool by_prefix = std::strcmp(client, util::client_host()) != 0;
        util::log_line(LOG_WARNING, "%s ('%.16s') return value %d (%s) from %s%s%s", "login failed",
                       name, static_cast<int>(verdict), auth::refusal_text(auth::last_refusal),
                       util::client_host(), by_prefix ? " in " : "", by_prefix ? client : "");
    } else {
        util::log_line(LOG_INFO, "Authenticated %s", name);
    }
    return verdict;
}

}  // namespace tollmar::session
