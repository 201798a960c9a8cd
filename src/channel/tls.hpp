// TLS on the whole connection: a context and handle built per connection.
#pragma once

namespace tollmar::channel {

// Builds the context from cert_file and key_file, creates and publishes the
// handle, and completes the server handshake within io_timeout seconds. On any
// failure it logs and exits with status 1; nothing is sent to the client.
void tls_start(int fd);

// Frees the handle and then the context when TLS is on; no closure alert.
void tls_end();

}  // namespace tollmar::channel
