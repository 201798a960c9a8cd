// TLS set-up for one connection. The context is built in the connection
// process from the configured files, so a replaced certificate or key is used
// from the next connection on. The socket stays non-blocking afterwards: only
// then can the waits bound a TLS read or write that needs more than one
// segment (a client that stalls inside a record must not hold the process).
#include "channel/tls.hpp"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <cstdio>
#include <cstdlib>

#include "channel/line_io.hpp"
#include "channel/proxy_screen.hpp"
#include "channel/wait.hpp"
#include "config/settings.hpp"
#include "util/log.hpp"

namespace tollmar::channel {

namespace {

SSL_CTX* tls_context = nullptr;

[[noreturn]] void fail(const char* what) {
    util::log_line(LOG_ERR, "%s", what);
    std::exit(1);
}

[[noreturn]] void fail_with_path(const char* what, const char* path) {
    util::log_line(LOG_ERR, "%s: %s", what, path != nullptr ? path : "");
    std::exit(1);
}

// The server side of the handshake, within io_timeout in total.
bool accept_within_timeout(int fd, SSL* handle) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    const std::int64_t deadline = monotonic_ms() + wait_limit_ms();
    // The client speaks first, so a stray PROXY header is there to be seen
    // before the handshake would choke on it.
    if (!screen_before_handshake(fd, deadline)) return false;
    for (;;) {
        ERR_clear_error();
        const int r = SSL_accept(handle);
        if (r == 1) return true;
        short events;
        switch (SSL_get_error(handle, r)) {
            case SSL_ERROR_WANT_READ:
                events = POLLIN;
                break;
            case SSL_ERROR_WANT_WRITE:
                events = POLLOUT;
                break;
            default:
                return false;
        }
        // A handshake that keeps the socket busy must still end in time.
        if (monotonic_ms() >= deadline || !wait_ready(fd, events, deadline - monotonic_ms()))
            return false;
    }
}

// TLS 1.2 suites: forward secrecy (ECDHE) and authenticated encryption only.
// TLS 1.3 keeps OpenSSL's default suites, which all have both.
constexpr const char* tls12_ciphers = "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL";

// Loads the configured certificate and key into context; on failure names
// the step and the file. The certificate file may hold the whole chain (the
// certificate, then its intermediates), all of which are sent: a client that
// knows only the root needs them. OpenSSL refuses a key that is not the
// certificate's as it loads it, so a mismatched pair fails at the key.
bool load_files(SSL_CTX* context, const char** what, const char** path) {
    const config::settings_record& s = config::settings;
    *path = s.cert_file;
    *what = "SSL: failed to use certificate file";
    if (s.cert_file == nullptr || SSL_CTX_use_certificate_chain_file(context, s.cert_file) < 1)
        return false;
    *path = s.key_file;
    *what = "SSL: failed to use key file";
    return s.key_file != nullptr &&
           SSL_CTX_use_PrivateKey_file(context, s.key_file, SSL_FILETYPE_PEM) == 1 &&
           SSL_CTX_check_private_key(context) == 1;
}

void init_library() {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_ssl(0, nullptr);
}

}  // namespace

bool tls_files_usable(char* problem, std::size_t size) {
    init_library();
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    const char* what = "SSL: failed to create new context";
    const char* path = nullptr;
    const bool usable = context != nullptr && load_files(context, &what, &path);
    if (!usable) std::snprintf(problem, size, "%s: %s", what, path != nullptr ? path : "");
    SSL_CTX_free(context);
    ERR_clear_error();
    return usable;
}

void tls_start(int fd) {
    tls_load_context();
    tls_accept(fd);
}

void tls_load_context() {
    init_library();

    tls_context = SSL_CTX_new(TLS_server_method());
    if (tls_context == nullptr) fail("SSL: failed to create new context");
    const char* what = nullptr;
    const char* path = nullptr;
    if (!load_files(tls_context, &what, &path)) fail_with_path(what, path);
    if (SSL_CTX_set_min_proto_version(tls_context, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(tls_context, tls12_ciphers) != 1)
        fail("SSL: failed to set the protocol policy");
    // The server's order of suites decides, so a client cannot pick the
    // weakest one both sides know. A client that drops the connection without
    // a closure alert has simply ended its input, as over plain TCP.
    SSL_CTX_set_options(tls_context,
                        SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Each connection has a context of its own, so session tickets could never
    // be redeemed; sending them only delays the greeting (the client delays
    // its ACK of the tickets while Nagle holds the greeting back).
    SSL_CTX_set_num_tickets(tls_context, 0);
    // Writes on the non-blocking socket report each record taken, so a long
    // reply progresses record by record under the write wait.
    SSL_CTX_set_mode(tls_context,
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
}

void tls_accept(int fd) {
    SSL* handle = SSL_new(tls_context);
    if (handle == nullptr) fail("SSL: failed to get new handle");
    set_tls_handle(handle);
    SSL_set_fd(handle, fd);
    if (!accept_within_timeout(fd, handle)) {
        if (!phase_deadline_passed()) fail("SSL: failed to accept connection");
        log_phase_deadline();
        std::exit(1);
    }
}

void tls_end() {
    if (!config::settings.use_tls) return;
    SSL_free(get_tls_handle());
    set_tls_handle(nullptr);
    SSL_CTX_free(tls_context);
    tls_context = nullptr;
}

}  // namespace tollmar::channel
