// TLS on the whole connection: a context the listener builds (rebuilt when
// the files change) and a handle per connection.
#pragma once
#include <cstddef>

namespace tollmar::channel {

// The one way a connection gets its TLS (from the first byte, or when it
// turns to TLS later): takes the listener's context, with its session
// tickets, or without one builds a context from the certificate and key
// files (TLS 1.2 at least; TLS 1.2 only with ECDHE and AES-GCM or
// ChaCha20-Poly1305; the server's order of suites; no tickets), creates and
// publishes the handle, and completes the server handshake within
// io_timeout seconds. On any failure it logs and exits with
// status 1; nothing is sent to the client.
void tls_start(int fd);

// The two halves of tls_start, for a process that loads the files while it
// may still read them and hands the handshake to a child without rights:
// tls_load_context takes the context the listener prepared, or builds one
// from the files when there is none (failures logged, exit status 1);
// tls_accept creates and publishes the handle and completes the handshake.
void tls_load_context();
void tls_accept(int fd);

// tls_load_context for a connection that may stay plain (STLS): a failure is
// logged as there and returns false instead of ending the process.
bool tls_try_load_context();

// True while this process holds a context to accept TLS with.
bool tls_context_ready();

// In the listener, before each connection process is forked: replaces the
// session-ticket key when it is due (hourly; the previous one still opens
// tickets for as long again), and builds the shared context that the
// process inherits when there is none yet, or when a certificate or key file
// (-c, -k, and the second pair if given) differs (device, inode, size,
// modification or status-change time) from the last attempt; a rebuild
// replaces the ticket keys too, so no session outlives the files. A build that fails is logged
// once per change of the files and keeps the previous context in service;
// without one, the connection process loads the files itself and, when they
// still do not load, logs why and ends (tls_load_context).
void tls_refresh_shared_context();

// In the listener at start-up: builds the shared context from the configured
// files. When they do not load or are not a pair, returns false and fills
// problem (size bytes) with the log text, e.g. "SSL: failed to use key file:
// <path>", for the caller to report at once on the terminal too.
bool tls_prepare_shared_context(char* problem, std::size_t size);

// Frees the handle, if any, and then the context, if any, and wipes this
// process's copy of the ticket keys: the connection is plain afterwards. No
// closure alert.
void tls_end();

// Frees every context this process holds, the one the listener keeps for
// the next connection included, and with them the private key (OpenSSL
// clears a key's numbers as it frees them), and wipes the session-ticket
// keys: for a process forked by the
// listener that takes an account's identity and serves no connection.
void tls_forget_context();

}  // namespace tollmar::channel
