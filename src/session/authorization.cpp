// The authorization phase, in the jailed pre-login process: USER and PASS in
// either order, or AUTH PLAIN; one attempt, the verdict asked of the root
// side. STLS, where offered, turns the connection to TLS first.
#include <cstdlib>
#include <cstring>

#include "auth/credentials.hpp"
#include "auth/sasl_plain.hpp"
#include "channel/line_io.hpp"
#include "channel/tls.hpp"
#include "channel/wait.hpp"
#include "config/settings.hpp"
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

// Unknown, malformed or refused lines before login; the last of them ends
// the session.
constexpr unsigned most_bad_commands = 20;

struct login_state {
    char name[line_copy_size];
    char password[line_copy_size];
    bool have_user;
    bool have_pass;
    unsigned bad_commands;
    char response_line[command_buffer_size];  // AUTH's continuation
    auth::plain_response plain;
};

// Process-wide rather than on the stack: the copies hold the password and
// must not linger on the stack of later phases; they are wiped once the
// verdict is known.
login_state state;

constexpr const char* tls_required =
    "-ERR [AUTH] TLS is required before login: issue STLS first\r\n";

// A line that is no step towards a login.
void refuse(int fd, const char* reply) {
    if (++state.bad_commands < most_bad_commands) {
        channel::send_text(fd, reply);
        return;
    }
    // A client that is not speaking POP3 gets no more answers.
    channel::end_session(fd, "-ERR too many bad commands\r\n", LOG_WARNING, "%s from %s",
                         "too many bad commands", util::client_host());
}

// Keeps the argument up to the line end; the first of USER and PASS is
// answered at once, the second by the verdict or by the maildrop phase.
void take_argument(int fd, const char* line, char* copy, bool& have, bool other_have) {
    if (!login_offered()) {
        refuse(fd, tls_required);
        return;
    }
    util::strlcpy(copy, line + 5, line_copy_size);
    util::cut_at_line_end(copy);
    have = true;
    if (!other_have) channel::send_text(fd, "+OK\r\n");
}

// The length of text up to its line end.
std::size_t length_to_line_end(const char* text) {
    return std::strcspn(text, "\r\n");
}

// The client's PLAIN response: the initial one from the AUTH line, or the
// line asked for with an empty challenge. False (after the reply) when the
// exchange failed; the connection stays in the authorization state.
bool take_plain_response(int fd, const char* initial) {
    const char* text = initial;
    if (text == nullptr) {
        channel::send_text(fd, "+ \r\n");
        if (channel::read_line(fd, state.response_line, sizeof state.response_line) == 0)
            std::exit(1);
        text = state.response_line;
        if (length_to_line_end(text) == 1 && text[0] == '*') {
            refuse(fd, "-ERR authentication cancelled\r\n");
            return false;
        }
    }
    const bool decoded = auth::decode_plain(text, length_to_line_end(text), state.plain);
    explicit_bzero(state.response_line, sizeof state.response_line);
    if (!decoded) refuse(fd, "-ERR malformed authentication response\r\n");
    return decoded;
}

// "AUTH" at the line end (the listing) or followed by a blank; the mechanism
// name ends at a blank or the line end.
void plain_exchange(int fd, const char* line) {
    const char* mechanism = line + 5;
    const std::size_t mechanism_length = std::strcspn(mechanism, " \r\n");
    if (mechanism_length != 5 || !util::starts_with_nocase(mechanism, "PLAIN", 5)) {
        refuse(fd, "-ERR unsupported authentication mechanism\r\n");
        return;
    }
    const char* initial = mechanism[5] == ' ' ? mechanism + 6 : nullptr;
    // "=" stands for an empty initial response, which PLAIN cannot use.
    if (!take_plain_response(fd, initial)) return;
    const auth::plain_response& r = state.plain;
    // Acting for another account is not offered: refused as a failed login
    // is, so that the reply tells nothing more.
    if (r.authzid[0] != '\0' && std::strcmp(r.authzid, r.authcid) != 0) {
        explicit_bzero(&state.plain, sizeof state.plain);
        channel::end_session(fd, "-ERR [AUTH] authentication failed\r\n", LOG_WARNING, "%s from %s",
                             "authorization identity refused", util::client_host());
    }
    util::strlcpy(state.name, r.authcid, line_copy_size);
    util::strlcpy(state.password, r.password, line_copy_size);
    explicit_bzero(&state.plain, sizeof state.plain);
    state.have_user = true;
    state.have_pass = true;
}

}  // namespace

void cmd_user(int fd, const char* line) {
    take_argument(fd, line, state.name, state.have_user, state.have_pass);
}
void cmd_pass(int fd, const char* line) {
    take_argument(fd, line, state.password, state.have_pass, state.have_user);
}
void cmd_auth_quit(int fd, const char*) {
    channel::send_text(fd, "+OK\r\n");
    std::exit(0);
}

void cmd_auth(int fd, const char* line) {
    if (!login_offered()) {
        refuse(fd, tls_required);
        return;
    }
    if (length_to_line_end(line) == 4) {
        channel::cork_output();
        channel::send_text(fd, "+OK\r\nPLAIN\r\n.\r\n");
        channel::flush_output(fd);
        return;
    }
    if (line[4] != ' ') {
        refuse(fd, "-ERR\r\n");
        return;
    }
    plain_exchange(fd, line);
}

void cmd_stls(int fd, const char*) {
    // Under -s STLS is as unknown as where it is not offered.
    if (channel::tls_active() && config::settings.offer_stls) {
        refuse(fd, "-ERR TLS is already active\r\n");
    } else if (!stls_offered()) {
        refuse(fd, "-ERR\r\n");
    } else if (state.have_user || state.have_pass) {
        refuse(fd, "-ERR STLS only before USER and PASS\r\n");
    } else {
        channel::send_text(fd, "+OK begin TLS negotiation\r\n");
        channel::flush_output(fd);
        // Whatever came behind STLS came in plain text: taken as commands
        // after the handshake, it would pass for the client's own over TLS.
        channel::drop_input();
        channel::tls_accept(fd);
    }
}

void authorize(int fd, char* command_line, char* login_name, verdict_source ask_verdict) {
    state.have_user = false;
    state.have_pass = false;
    state.bad_commands = 0;

    while (!(state.have_user && state.have_pass)) {
        // The client has closed its side: nobody is left to answer.
        if (channel::read_line(fd, command_line, command_buffer_size) == 0) std::exit(1);

        const command* match = find_command(authorization_commands, command_line);
        if (match != nullptr) {
            match->handler(fd, command_line);
        } else {
            refuse(fd, "-ERR\r\n");
        }
    }
    explicit_bzero(command_line, command_buffer_size);

    const auth::login_verdict verdict = ask_verdict(state.name, state.password);
    // No copy of the password outlives the check: ours, and the bytes of the
    // PASS or AUTH line still in the reader's buffer (the line after it
    // stays).
    explicit_bzero(state.password, sizeof state.password);
    channel::wipe_consumed_input();
    util::strlcpy(login_name, state.name, line_copy_size);

    if (verdict != auth::verdict_accepted) {
        channel::end_session(fd, verdict == auth::verdict_refused
                                     ? "-ERR [AUTH] authentication failed\r\n"
                                     : "-ERR [SYS/TEMP] temporary resource problem\r\n");
    }
    // The relay that may follow over TLS is not bound by the login deadline.
    channel::set_phase_deadline(0);
}

}  // namespace tollmar::session
