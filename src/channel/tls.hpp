// TLS on the whole connection: a context and handle built per connection.
#pragma once

namespace tollmar::channel {

// Builds the context from cert_file and key_file, creates and publishes the
// handle, and completes the server handshake within io_timeout seconds. On any
// failure it logs and exits with status 1; nothing is sent to the client.
void tls_start(int fd);

// The two halves of tls_start, for a process that loads the files while it
// may still read them and hands the handshake to a child without rights:
// tls_load_context builds the context (failures logged, exit status 1);
// tls_accept creates and publishes the handle and completes the handshake.
void tls_load_context();
void tls_accept(int fd);

// Frees the handle and then the context when TLS is on; no closure alert.
void tls_end();

}  // namespace tollmar::channel
