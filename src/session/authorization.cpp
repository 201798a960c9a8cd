// The authorization phase: USER and PASS in either order, one attempt.

#include <cstdlib>
#include <cstring>

#include "auth/credentials.hpp"
#include "channel/line_io.hpp"
#include "session/capability.hpp"
#include "session/command_table.hpp"
#include "session/phases.hpp"
#include "util/log.hpp"
#include "util/strlcpy.hpp"
#include "util/text.hpp"

namespace tollmar::session {

namespace {

constexpr std::size_t line_copy_size = 4097;

struct login_state {
    char user_line[line_copy_size];
    char pass_line[line_copy_size];
    bool have_user;
    bool have_pass;
};

// Keeps the whole line; the first of USER and PASS is answered at once, the
// second is answered by the verdict or by the maildrop phase.
void take_line(int fd, const char* line, char* copy, bool& have, bool other_have) {
    util::strlcpy(copy, line, line_copy_size);
    have = true;
    if (!other_have) channel::send_text(fd, "+OK\r\n");
}

void on_user(int fd, const char* line, login_state& s) {
    take_line(fd, line, s.user_line, s.have_user, s.have_pass);
}
void on_pass(int fd, const char* line, login_state& s) {
    take_line(fd, line, s.pass_line, s.have_pass, s.have_user);
}
void on_capa(int fd, const char*, login_state&) {
    capability_list(fd);
}
[[noreturn]] void on_quit(int fd, const char*, login_state&) {
    channel::send_text(fd, "+OK\r\n");
    std::exit(0);
}

struct auth_command {
    const char* word;
    std::size_t length;
    void (*handler)(int fd, const char* line, login_state& s);
};

// Matched in this order on a fixed number of leading characters, ignoring case.
constexpr auth_command auth_commands[] = {
    {"QUIT", 4, on_quit},
    {"USER ", 5, on_user},
    {"PASS ", 5, on_pass},
    {"CAPA", 4, on_capa},
};

}  // namespace

void authorize(int fd, char* command_line, char* login_name) {
    // Static: the copies hold the password and must not linger on the stack
    // of later phases; they are wiped once the verdict is known.
    static login_state state;
    state.have_user = false;
    state.have_pass = false;

    while (!(state.have_user && state.have_pass)) {
        // The client has closed its side: nobody is left to answer.
        if (channel::read_line(fd, command_line, 4096) == 0) std::exit(1);

        const auth_command* match = find_command(auth_commands, command_line);
        if (match != nullptr)
            match->handler(fd, command_line, state);
        else
            channel::send_text(fd, "-ERR\r\n");
    }
    std::memset(command_line, 0, 4096);

    const int verdict = auth::check_credentials(state.user_line + 5, state.pass_line + 5);
    explicit_bzero(state.pass_line, sizeof state.pass_line);

    util::cut_at_line_end(state.user_line);
    util::strlcpy(login_name, state.user_line + 5, line_copy_size);

    if (verdict != 1) {
        channel::send_text(fd, verdict == 0 ? "-ERR [AUTH] authentication failed\r\n"
                                            : "-ERR [SYS/TEMP] temporary resource problem\r\n");
        util::log_line(LOG_WARNING, "%s ('%.16s') return value %d", "login failed", login_name,
                       verdict);
        std::exit(1);
    }
    util::log_line(LOG_INFO, "Authenticated %s", login_name);
}

}  // namespace tollmar::session
