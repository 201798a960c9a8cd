// Waiting for the client connection to become ready; shared by the reader,
// the writer and the TLS handshake of this subsystem.
#pragma once
#include <cstdint>

namespace tollmar::channel {

// The configured per-operation wait, io_timeout, in milliseconds.
std::int64_t io_timeout_ms();

// One deadline for a whole phase of the session (the login), on the
// util::monotonic_ms clock; 0: none. While it is set, no wait on the client lasts
// past it, however little the client sends at a time.
void set_phase_deadline(std::int64_t deadline_ms);
bool phase_deadline_passed();

// How long the next wait on the client may last: io_timeout, or less when
// the phase deadline comes first.
std::int64_t wait_limit_ms();

// The client used up the phase's time: logs "login time exceeded" and exits
// with status 1 (through exit(), so that the at-exit clean-up runs).
[[noreturn]] void end_at_phase_deadline();

// Waits at most timeout_ms for the poll events on fd. Acts on recorded signals
// and calls the wait hook first, and again at least once a minute while the
// wait lasts. True when fd is ready (or the wait itself failed, so that the
// following I/O call reports the problem); false when the time ran out.
bool wait_ready(int fd, short events, std::int64_t timeout_ms);

}  // namespace tollmar::channel
