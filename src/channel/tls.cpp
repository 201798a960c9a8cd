// TLS set-up for one connection. The listener builds the context once and
// every connection process inherits it through fork: building one costs about
// as much as the handshake itself. Before each fork the listener compares the
// files with those the context was built from and rebuilds it when either was
// replaced or changed, so a new certificate or key is used from the next
// connection on without a restart. The socket stays non-blocking afterwards:
// only then can the waits bound a TLS read or write that needs more than one
// segment (a client that stalls inside a record must not hold the process).
#include "channel/tls.hpp"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "channel/proxy_screen.hpp"
#include "channel/tls_handle.hpp"
#include "channel/wait.hpp"
#include "config/settings.hpp"
#include "util/clock.hpp"
#include "util/fatal.hpp"
#include "util/log.hpp"

namespace tollmar::channel {

namespace {

// The context of this process's connection (connection processes), or the
// one the listener hands to the next connection process (shared_context).
SSL_CTX* tls_context = nullptr;
SSL_CTX* shared_context = nullptr;

// What a file was when a context was last built from it. A replacement by
// rename changes the inode; a rewrite in place the times, and mostly the size.
struct file_identity {
    bool present = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};
    struct timespec changed {};
};

bool operator==(const file_identity& a, const file_identity& b) {
    return a.present == b.present && a.device == b.device && a.inode == b.inode &&
           a.size == b.size && a.modified.tv_sec == b.modified.tv_sec &&
           a.modified.tv_nsec == b.modified.tv_nsec && a.changed.tv_sec == b.changed.tv_sec &&
           a.changed.tv_nsec == b.changed.tv_nsec;
}

file_identity identity_of(const char* path) {
    file_identity id;
    struct stat st;
    if (path == nullptr || ::stat(path, &st) != 0) return id;
    id = {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
    return id;
}

// The certificate's and the key's identity at the last attempt to build the
// shared context, whether it succeeded or not: a failed attempt is not
// repeated (nor logged again) until one of the files changes.
struct {
    bool attempted = false;
    file_identity cert;
    file_identity key;
} last_attempt;

[[noreturn]] void fail(const char* what) {
    util::fatal(nullptr, "%s", what);
}

[[noreturn]] void fail_with_path(const char* what, const char* path) {
    util::fatal(nullptr, "%s: %s", what, path != nullptr ? path : "");
}

// The server side of the handshake, within io_timeout in total.
bool accept_within_timeout(int fd, SSL* handle) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    const std::int64_t deadline = util::monotonic_ms() + wait_limit_ms();
    // The client speaks first, so a stray PROXY header is there to be seen
    // before the handshake would choke on it.
    if (!screen_before_handshake(fd, deadline)) return false;
    for (;;) {
        ERR_clear_error();
        const int r = SSL_accept(handle);
        if (r == 1) return true;
        const short events = tls_wait_events(handle, r);
        if (events == 0) return false;
        // A handshake that keeps the socket busy must still end in time.
        if (util::monotonic_ms() >= deadline ||
            !wait_ready(fd, events, deadline - util::monotonic_ms()))
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

// Without the library's clean-up at exit: every connection process would
// otherwise tear down the whole state it inherited (method stores, name maps,
// strings) page by page, copying each page it touches, only to exit.
void init_library() {
    OPENSSL_init_ssl(
        OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_NO_ATEXIT,
        nullptr);
    OPENSSL_init_ssl(0, nullptr);
}

}  // namespace

namespace {

// A context from the configured files with the server's policy, or nullptr
// with *what (and *path, for a file) naming the failed step.
SSL_CTX* build_context(const char** what, const char** path) {
    init_library();
    *path = nullptr;
    *what = "SSL: failed to create new context";
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) return nullptr;
    if (!load_files(context, what, path)) {
        SSL_CTX_free(context);
        return nullptr;
    }
    *path = nullptr;
    *what = "SSL: failed to set the protocol policy";
    if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(context, tls12_ciphers) != 1) {
        SSL_CTX_free(context);
        return nullptr;
    }
    // The server's order of suites decides, so a client cannot pick the
    // weakest one both sides know. A client that drops the connection without
    // a closure alert has simply ended its input, as over plain TCP.
    //
    // No resumption: the session cache would live in a process that ends with
    // its connection, and tickets (redeemable in any connection process, as
    // all inherit the same ticket keys) would need keys rotated apart
    // from the certificate to keep forward secrecy. Clients of a mailbox
    // poll rarely enough that a full handshake is cheap, and sending tickets
    // would only cost every handshake work and bytes.
    SSL_CTX_set_options(
        context, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_TICKET);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(context, 0);
    // Writes on the non-blocking socket report each record taken, so a long
    // reply progresses record by record under the write wait.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return context;
}

}  // namespace

void tls_start(int fd) {
    tls_load_context();
    tls_accept(fd);
}

namespace {

bool load_context(const char** what, const char** path) {
    if (shared_context != nullptr) {
        tls_context = shared_context;
        shared_context = nullptr;
        return true;
    }
    // No usable context from the listener (inetd mode, or files that have
    // not loaded since start-up): the files as they are now decide.
    tls_context = build_context(what, path);
    return tls_context != nullptr;
}

}  // namespace

void tls_load_context() {
    const char* what = nullptr;
    const char* path = nullptr;
    if (load_context(&what, &path)) return;
    if (path != nullptr) fail_with_path(what, path);
    fail(what);
}

bool tls_try_load_context() {
    const char* what = nullptr;
    const char* path = nullptr;
    if (load_context(&what, &path)) return true;
    ERR_clear_error();
    util::log_line(LOG_ERR, "%s: %s", what, path != nullptr ? path : "");
    return false;
}

bool tls_context_ready() {
    return tls_context != nullptr;
}

namespace {

// Builds the shared context from the files as they are now and remembers
// them; on failure keeps the previous context and fills problem.
bool rebuild_shared_context(char* problem, std::size_t size) {
    const config::settings_record& s = config::settings;
    // Judged by what the files were before they were read: a change while
    // they are read shows at the next connection and builds again.
    last_attempt = {true, identity_of(s.cert_file), identity_of(s.key_file)};
    const char* what = nullptr;
    const char* path = nullptr;
    SSL_CTX* fresh = build_context(&what, &path);
    ERR_clear_error();
    if (fresh == nullptr) {
        std::snprintf(problem, size, "%s: %s", what, path != nullptr ? path : "");
        return false;
    }
    SSL_CTX_free(shared_context);
    shared_context = fresh;
    return true;
}

}  // namespace

bool tls_prepare_shared_context(char* problem, std::size_t size) {
    return rebuild_shared_context(problem, size);
}

void tls_refresh_shared_context() {
    const config::settings_record& s = config::settings;
    if (last_attempt.attempted && identity_of(s.cert_file) == last_attempt.cert &&
        identity_of(s.key_file) == last_attempt.key)
        return;
    char problem[util::log_line_size / 2];
    if (rebuild_shared_context(problem, sizeof problem)) return;
    // Once per change of the files, not once per connection.
    if (shared_context != nullptr)
        util::log_line(LOG_ERR, "%s; %s", problem,
                       "connections keep the certificate and key loaded before");
    else
        util::log_line(LOG_ERR, "%s", problem);
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
    SSL_free(get_tls_handle());
    set_tls_handle(nullptr);
    SSL_CTX_free(tls_context);
    tls_context = nullptr;
}

void tls_forget_context() {
    SSL_CTX_free(shared_context);
    shared_context = nullptr;
    SSL_CTX_free(tls_context);
    tls_context = nullptr;
}

}  // namespace tollmar::channel
