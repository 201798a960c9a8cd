// Waits use poll() on the single descriptor: unlike an fd_set it has no upper
// bound on the descriptor number, and a timeout of 0 is a plain readiness test.
#include "channel/wait.hpp"

#include <poll.h>

#include <cerrno>
#include <cstdlib>

#include "channel/line_io.hpp"
#include "config/settings.hpp"
#include "util/clock.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"
#include "util/signals.hpp"

namespace tollmar::channel {

namespace {

// Long waits are cut into slices so that the hook (which keeps the maildrop
// lock fresh) runs well before a lock could be judged stale.
constexpr std::int64_t wait_slice_ms = 60 * 1000;

wait_hook current_hook = nullptr;
std::int64_t phase_deadline_ms = 0;

void run_hook() {
    if (current_hook != nullptr) current_hook();
}

}  // namespace

void set_wait_hook(wait_hook hook) {
    current_hook = hook;
}

std::int64_t io_timeout_ms() {
    return static_cast<std::int64_t>(config::settings.io_timeout) * 1000;
}

void set_phase_deadline(std::int64_t deadline_ms) {
    phase_deadline_ms = deadline_ms;
}

bool phase_deadline_passed() {
    return phase_deadline_ms != 0 && util::monotonic_ms() >= phase_deadline_ms;
}

std::int64_t wait_limit_ms() {
    const std::int64_t limit = io_timeout_ms();
    if (phase_deadline_ms == 0) return limit;
    const std::int64_t left = phase_deadline_ms - util::monotonic_ms();
    if (left < 0) return 0;
    return left < limit ? left : limit;
}

void end_at_phase_deadline() {
    util::log_line(LOG_WARNING, "%s (%u seconds) from %s", "login time exceeded",
                   static_cast<unsigned>(config::settings.login_deadline), util::client_host());
    std::exit(1);
}

bool wait_ready(int fd, short events, std::int64_t timeout_ms) {
    util::act_on_pending_signals();
    run_hook();
    if (timeout_ms < 0) timeout_ms = 0;
    const std::int64_t deadline = util::monotonic_ms() + timeout_ms;
    for (;;) {
        std::int64_t remaining = deadline - util::monotonic_ms();
        if (remaining < 0) remaining = 0;
        const int slice = static_cast<int>(remaining < wait_slice_ms ? remaining : wait_slice_ms);
        pollfd p{};
        p.fd = fd;
        p.events = events;
        const int r = poll(&p, 1, slice);
        if (r > 0) return true;  // ready, or an error/hang-up the I/O call will report
        if (r < 0) {
            if (errno != EINTR) return true;
            // A signal only cut the wait short: act on it, then wait out the rest.
            util::act_on_pending_signals();
            continue;
        }
        if (util::monotonic_ms() >= deadline) return false;
        run_hook();
    }
}

}  // namespace tollmar::channel
