// TLS on the whole connection: a context and handle built per connection.
#pragma once
#include <cstddef>

namespace tollmar::channel {

// Builds the context from cert_file and key_file (TLS 1.2 at least; TLS 1.2
// only with ECDHE and AES-GCM or ChaCha20-Poly1305; the server's order of
// suites), creates and publishes the handle, and completes the server handshake within io_timeout
// seconds. On any failure it logs and exits with status 1; nothing is sent to the client.
void tls_start(int fd);

// The two halves of tls_start, for a process that loads the files while it
// may still read them and hands the handshake to a child without rights:
// tls_load_context builds the context (failures logged, exit status 1);
// tls_accept creates and publishes the handle and completes the handshake.
void tls_load_context();
void tls_accept(int fd);

// Whether the configured certificate and key load and are a pair; when not,
// fills problem (size bytes) with the log text, e.g. "SSL: failed to use key
// file: <path>". For the start-up check: each connection loads them afresh.
bool tls_files_usable(char* problem, std::size_t size);

// Frees the handle and then the context when TLS is on; no closure alert.
void tls_end();

}  // namespace tollmar::channel
