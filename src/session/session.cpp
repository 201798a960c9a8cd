// The root connection process: it forks the pre-login process, which alone
// reads the client until the login is accepted, answers its one request for
// a verdict, and then serves the session (on the client socket, or over TLS on
// the socket pair to the pre-login process, which stays on as the TLS end).
#include "session/session.hpp"

#include <unistd.h>

#include <cstdint>

#include "channel/tls.hpp"
#include "channel/wait.hpp"
#include "config/settings.hpp"
#include "session/login_message.hpp"
#include "session/monitor.hpp"
#include "session/phases.hpp"
#include "session/summary.hpp"
#include "util/clock.hpp"

namespace tollmar::session {

void run_session(int fd) {
    const bool tls = config::settings.use_tls;
    const bool tls_possible = config::tls_configured();
    // The login phase, handshake included, has one deadline in total, so a
    // client cannot hold the pre-login process by sending a byte now and then.
    if (config::settings.login_deadline != 0)
        channel::set_phase_deadline(util::monotonic_ms() +
                                    std::int64_t{config::settings.login_deadline} * 1000);
    // The listener's context, or one read from the files while this process
    // may still open them; the pre-login process inherits it and never opens
    // a file.
    // Without a certificate a plain connection goes on, only without STLS.
    if (tls) {
        channel::tls_load_context();
    } else if (config::settings.offer_stls) {
        channel::tls_try_load_context();
    }

    const int pair_fd = fork_prelogin(fd, tls_possible);
    if (tls) {
        // Only the pre-login process speaks TLS; this one, without a handle,
        // reads plain text from the socket pair after the login.
        close(fd);
        channel::tls_end();
    }

    // Process-wide rather than on the stack: the request held the password,
    // and neither belongs on the stack of the phases that follow.
    static login_request request;
    static auth::login_result login;
    answer_login(pair_fd, request, login);
    const int connection = take_handover(pair_fd, fd);
    acquire_maildrop(connection, request.name, login);
    summary_start(request.name);
    char command_line[command_buffer_size];
    command_loop(connection, command_line);
}

}  // namespace tollmar::session
