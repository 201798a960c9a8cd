// The root connection process: it forks the pre-login process, which alone
// reads the client until the login is accepted, answers its one request for
// a verdict, and then serves the session (on the client socket, or over TLS on
// the socket pair to the pre-login process, which stays on as the TLS end).
#include "session/session.hpp"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "channel/line_io.hpp"
#include "channel/tls.hpp"
#include "channel/wait.hpp"
#include "config/settings.hpp"
#include "session/login_message.hpp"
#include "session/phases.hpp"
#include "session/prelogin.hpp"
#include "session/summary.hpp"
#include "util/log.hpp"
#include "util/signals.hpp"

namespace tollmar::session {

namespace {

pid_t prelogin_pid = -1;

// Waits for the pre-login process; its exit status, 1 when it was killed.
int reap_prelogin() {
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(prelogin_pid, &status, 0);
        if (r == prelogin_pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        if (r < 0 && errno == EINTR) {
            util::act_on_pending_signals();
            continue;
        }
        return 1;
    }
}

// The pre-login process ended the connection (the client left, sent QUIT,
// timed out, was refused, or the process died): this process ends the same
// way, with the status the connection process has always had for it.
[[noreturn]] void end_with_prelogin() {
    std::exit(reap_prelogin());
}

[[noreturn]] void refuse_message(const char* why) {
    util::log_line(LOG_ERR, "%s: %s", "bad message from the pre-login process", why);
    kill(prelogin_pid, SIGKILL);
    reap_prelogin();
    std::exit(1);
}

// The next message of type wanted; the log lines sent before it are written
// on the way. Anything else ends the connection.
void receive(int fd, message& m, std::uint32_t wanted) {
    static char text[util::log_line_size];
    for (;;) {
        const char* why = "unexpected message";
        switch (read_message(fd, m, &why)) {
            case read_status::ended:
                end_with_prelogin();
            case read_status::malformed:
                refuse_message(why);
            case read_status::complete:
                break;
        }
        if (m.type == wanted) return;
        int priority = 0;
        if (m.type != message_log || !decode_log(m, priority, text, &why)) refuse_message(why);
        util::log_line(priority, "%s", text);
    }
}

}  // namespace

void run_session(int fd) {
    const bool tls = config::settings.use_tls;
    // The login phase, handshake included, has one deadline in total, so a
    // client cannot hold the pre-login process by sending a byte now and then.
    if (config::settings.login_deadline != 0)
        channel::set_phase_deadline(channel::monotonic_ms() +
                                    std::int64_t{config::settings.login_deadline} * 1000);
    // The listener's context, or one read from the files while this process
    // may still open them; the pre-login process inherits it and never opens
    // a file.
    if (tls) channel::tls_load_context();

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        util::log_line(LOG_ERR, "%s: %s", "socketpair failed", std::strerror(errno));
        std::exit(1);
    }
    // Over TLS a long reply crosses the pair: room for a large part of it
    // saves the session and the relay a switch per default-sized buffer.
    if (tls) {
        const int room = 1024 * 1024;
        setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
        setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    }
    // This process waits for its pre-login process itself.
    util::install_signal(SIGCHLD, SIG_DFL);
    prelogin_pid = fork();
    if (prelogin_pid < 0) {
        util::log_line(LOG_ERR, "%s: %s", "fork failed", std::strerror(errno));
        std::exit(1);
    }
    if (prelogin_pid == 0) {
        close(pair[0]);
        run_prelogin(fd, pair[1]);
    }
    close(pair[1]);
    const int pair_fd = pair[0];
    // The deadline is the pre-login process's to keep; this one never reads
    // the client before the login.
    channel::set_phase_deadline(0);
    if (tls) {
        // Only the pre-login process speaks TLS; this one reads plain text
        // from the socket pair after the login.
        close(fd);
        channel::tls_end();
        config::settings.use_tls = false;
    }

    static message m;
    static login_request request;
    const char* why = nullptr;
    receive(pair_fd, m, message_login);
    const bool decoded = decode_login(m, request, &why);
    explicit_bzero(m.body, m.length);
    if (!decoded) refuse_message(why);
    const std::int32_t verdict = root_verdict(request.name, request.password);
    explicit_bzero(request.password, sizeof request.password);
    // On a refusal the pre-login process replies and ends.
    if (!write_message(pair_fd, message_verdict, &verdict, sizeof verdict) ||
        verdict != auth::verdict_accepted)
        end_with_prelogin();

    receive(pair_fd, m, message_handover);
    if (!decode_handover(m, &why)) refuse_message(why);
    channel::push_input(reinterpret_cast<const char*>(m.body), m.length);

    int connection = pair_fd;
    if (!tls) {
        // The client socket is this process's alone from here on.
        kill(prelogin_pid, SIGKILL);
        reap_prelogin();
        close(pair_fd);
        connection = fd;
    }
    char command_line[command_buffer_size];
    acquire_maildrop(connection, request.name);
    summary_start(request.name);
    command_loop(connection, command_line);
}

}  // namespace tollmar::session
