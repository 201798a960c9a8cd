// Waiting for the client connection to become ready; shared by the reader,
// the writer and the TLS handshake of this subsystem.
#pragma once
#include <cstdint>

namespace tollmar::channel {

// Milliseconds on a clock that never jumps.
std::int64_t monotonic_ms();

// The configured per-operation wait, io_timeout, in milliseconds.
std::int64_t io_timeout_ms();

// Waits at most timeout_ms for the poll events on fd. Acts on recorded signals
// and calls the wait hook first, and again at least once a minute while the
// wait lasts. True when fd is ready (or the wait itself failed, so that the
// following I/O call reports the problem); false when the time ran out.
bool wait_ready(int fd, short events, std::int64_t timeout_ms);

}  // namespace tollmar::channel
