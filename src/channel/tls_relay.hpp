// The TLS end of a connection whose session runs in another process: that
// process reads and writes a socket pair as its plain connection, so its
// timeouts, replies and clean-up are those of a plain session; the relay
// only moves bytes between the pair and the TLS connection.
#pragma once

namespace tollmar::channel {

// Relays this process's TLS connection (tls_accept done on client_fd) and
// session_fd: decrypted client bytes to session_fd, the session's bytes
// encrypted to the client, in large blocks. Ends the process with status 0
// when the session closes its end (after its last bytes are out) or the
// client connection ends or fails, with status 1 when a write to the client
// waits longer than io_timeout or there is no TLS connection to relay.
[[noreturn]] void tls_relay(int client_fd, int session_fd);

}  // namespace tollmar::channel
