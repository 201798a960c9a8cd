// The root side of the login, run in the root connection process; see
// monitor.hpp for the list of what it does for the pre-login process.
#include "session/monitor.hpp"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "auth/login_throttle.hpp"
#include "channel/line_io.hpp"
#include "channel/tls.hpp"
#include "channel/wait.hpp"
#include "config/settings.hpp"
#include "session/prelogin.hpp"
#include "session/prelogin_log.hpp"
#include "util/clock.hpp"
#include "util/fatal.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"
#include "util/signals.hpp"

namespace tollmar::session {

namespace {

pid_t prelogin_pid = -1;

// Until when this process waits for the pre-login process's next message;
// 0: for ever. For the login request, the end of the login phase and a
// second more, so that a pre-login process that keeps its own deadline
// reports first: whatever that process does (stopped, spinning, silent), the
// connection and its slot end then.
std::int64_t wait_deadline_ms = 0;
constexpr std::int64_t deadline_grace_ms = 1000;

// Makes deadline_ms the bound of every read on the pair, a message begun and
// not finished included (0: none).
void bound_reads(int fd, std::int64_t deadline_ms) {
    wait_deadline_ms = deadline_ms;
    if (deadline_ms == 0) {
        const timeval none{};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    }
}

// True when the deadline has passed; else bounds the next read by it.
bool deadline_passed(int fd) {
    if (wait_deadline_ms == 0) return false;
    const std::int64_t left = wait_deadline_ms - util::monotonic_ms();
    if (left <= 0) return true;
    timeval rest{};
    rest.tv_sec = static_cast<time_t>(left / 1000);
    rest.tv_usec = static_cast<suseconds_t>(left % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &rest, sizeof rest);
    return false;
}

// Waits for the pre-login process; its exit status, 1 when it was killed.
// Not past the wait deadline: a process that has closed its end of the pair
// but does not end is killed then.
int reap_prelogin() {
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(prelogin_pid, &status, wait_deadline_ms != 0 ? WNOHANG : 0);
        if (r == prelogin_pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        if (r == 0) {
            if (util::monotonic_ms() >= wait_deadline_ms) {
                // Without CAP_KILL (a unit's bounding set) the kill fails:
                // this process's end then kills it (its parent-death signal).
                if (kill(prelogin_pid, SIGKILL) != 0) return 1;
                wait_deadline_ms = 0;
            } else {
                const timespec pause{0, 5 * 1000 * 1000};
                nanosleep(&pause, nullptr);
            }
            continue;
        }
        if (r < 0 && errno == EINTR) {
            util::act_on_pending_signals();
            continue;
        }
        return 1;
    }
}

// The pre-login process ended the connection (the client left, sent QUIT,
// timed out, was refused, or the process died): this process ends the same
// way, with the pre-login process's status.
[[noreturn]] void end_with_prelogin() {
    std::exit(reap_prelogin());
}

[[noreturn]] void refuse_message(const char* why) {
    kill(prelogin_pid, SIGKILL);
    reap_prelogin();
    util::fatal(nullptr, "%s: %s", "bad message from the pre-login process", why);
}

[[noreturn]] void end_at_deadline() {
    if (kill(prelogin_pid, SIGKILL) == 0) reap_prelogin();
    channel::end_at_phase_deadline();
}

// A pre-login process logs a line or two before it ends; one that goes on
// would have this process flood the log at the cost of one connection.
constexpr unsigned most_prelogin_log_lines = 8;
unsigned prelogin_log_lines = 0;

// The next message of type wanted; the log lines sent before it are written
// on the way. Anything else, or no message by the deadline, ends the
// connection.
void receive(int fd, message& m, std::uint32_t wanted) {
    static char text[util::log_line_size];
    static char line[util::log_line_size];
    for (;;) {
        const char* why = "unexpected message";
        if (deadline_passed(fd)) end_at_deadline();
        switch (read_message(fd, m, &why)) {
            case read_status::ended:
                end_with_prelogin();
            case read_status::malformed:
                if (deadline_passed(fd)) end_at_deadline();
                refuse_message(why);
            case read_status::complete:
                break;
        }
        // Either form of the handover is one step.
        if (m.type == wanted || (wanted == message_handover && m.type == message_handover_tls))
            return;
        int priority = 0;
        if (m.type != message_log || !decode_log(m, priority, text, &why)) refuse_message(why);
        if (++prelogin_log_lines > most_prelogin_log_lines) refuse_message("too many log lines");
        if (!prelogin_log_line(priority, text, line, sizeof line)) {
            refuse_message("not one of the pre-login process's log lines");
        }
        util::log_line(priority, "%s", line);
    }
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

int fork_prelogin(int client_fd, bool tls) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        util::fatal(nullptr, "%s: %s", "socketpair failed", std::strerror(errno));
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
        util::fatal(nullptr, "%s: %s", "fork failed", std::strerror(errno));
    }
    if (prelogin_pid == 0) {
        close(pair[0]);
        run_prelogin(client_fd, pair[1]);
    }
    close(pair[1]);
    // The deadline is the pre-login process's to keep; this one never reads
    // the client before the login, and only ends a pre-login process that
    // fails to keep it.
    channel::set_phase_deadline(0);
    const std::int64_t deadline_s = config::settings.login_deadline;
    if (deadline_s != 0) {
        bound_reads(pair[0], util::monotonic_ms() + deadline_s * 1000 + deadline_grace_ms);
    }
    return pair[0];
}

void answer_login(int pair_fd, login_request& request, auth::login_result& result) {
    static message m;
    const char* why = nullptr;
    receive(pair_fd, m, message_login);
    const bool decoded = decode_login(m, request, &why);
    explicit_bzero(m.body, m.length);
    if (!decoded) refuse_message(why);
    result = root_verdict(request.name, request.password);
    explicit_bzero(request.password, sizeof request.password);
    // The verdict may come after the login phase (a throttled login): from
    // here the pre-login process has the usual time to answer the client and
    // hand over.
    bound_reads(pair_fd, util::monotonic_ms() + channel::io_timeout_ms());
    unsigned char verdict[verdict_body_size];
    // On a refusal the pre-login process replies and ends.
    if (!write_message(pair_fd, message_verdict, verdict,
                       encode_verdict(result.verdict, verdict)) ||
        result.verdict != auth::verdict_accepted)
        end_with_prelogin();
}

int take_handover(int pair_fd, int client_fd) {
    static message m;
    const char* why = nullptr;
    receive(pair_fd, m, message_handover);
    bound_reads(pair_fd, 0);  // the pair now carries the session, with its own timeouts
    if (!decode_handover(m, &why)) refuse_message(why);
    // Under -s every connection speaks TLS; on a plain listener only one
    // that took STLS, where it is offered.
    const bool tls = m.type == message_handover_tls;
    const config::settings_record& s = config::settings;
    if (tls ? !s.use_tls && !s.offer_stls : s.use_tls) refuse_message("handover of the wrong kind");
    channel::push_input(reinterpret_cast<const char*>(m.body), m.length);
    if (tls) {
        // The pre-login process stays on as the TLS end; this one no longer
        // needs the client socket, nor the context it kept for STLS.
        if (!s.use_tls) {
            close(client_fd);
            channel::tls_end();
        }
        return pair_fd;
    }
    // The client socket is this process's alone from here on.
    kill(prelogin_pid, SIGKILL);
    reap_prelogin();
    close(pair_fd);
    return client_fd;
}

auth::login_result root_verdict(const char* name, const char* password) {
    const char* client = util::client_key(config::settings.ipv6_prefix_bits);
    wait_before_verdict(auth::login_delay_ms(client, name, util::monotonic_ms()));
    const auth::login_result result = auth::check_credentials(name, password);
    const bool accepted = result.verdict == auth::verdict_accepted;
    auth::record_login(client, name, accepted, util::monotonic_ms());
    // The session, which will run as the account, must not hold the tables.
    auth::end_login_throttle();
    if (!accepted) {
        // The cause is for the administrator only; the address (and an IPv6
        // client's prefix, under which it is throttled) lets a filter act on
        // repeated failures.
        const bool by_prefix = std::strcmp(client, util::client_host()) != 0;
        util::log_line(LOG_WARNING, "%s ('%.16s') return value %d (%s) from %s%s%s", "login failed",
                       name, static_cast<int>(result.verdict), auth::refusal_text(result.reason),
                       util::client_host(), by_prefix ? " in " : "", by_prefix ? client : "");
    } else {
        util::log_line(LOG_INFO, "Authenticated %s", name);
    }
    return result;
}

}  // namespace tollmar::session
