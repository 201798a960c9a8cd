// The TLS connection object of this process's one connection, for the
// channel's own files: it alone decides whether the connection speaks TLS.
// Outside the channel only tls_active() tells of it; no OpenSSL type leaves
// this subsystem.
#pragma once
#include <openssl/ssl.h>

namespace tollmar::channel {

void set_tls_handle(SSL* handle);

// The handle; nullptr while the connection is plain TCP.
SSL* get_tls_handle();

// What an SSL call on handle that returned result (not positive) waits for:
// POLLIN or POLLOUT when it only needs the socket ready to go on, 0 when the
// connection ended or failed (SSL_get_error then tells which).
short tls_wait_events(SSL* handle, int result);

}  // namespace tollmar::channel
