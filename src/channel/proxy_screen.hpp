// Inside the channel: where the first bytes of a connection that is not from
// a trusted proxy are looked at (see refuse_stray_proxy_headers).
#pragma once
#include <cstddef>
#include <cstdint>

namespace tollmar::channel {

// True until the first bytes have been looked at, when screening was asked for.
bool stray_proxy_screen_pending();

// Looks at the first bytes (ends the process on a PROXY signature) and ends
// the screening.
void screen_first_bytes(const unsigned char* data, std::size_t size);

// TLS: waits (until deadline) for the client's first bytes and looks at them
// without taking them from the socket. False when none came in time.
bool screen_before_handshake(int fd, std::int64_t deadline);

}  // namespace tollmar::channel
