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
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "channel/proxy_screen.hpp"
#include "channel/tls_handle.hpp"
#include "channel/tls_seams.hpp"
#include "channel/wait.hpp"
#include "config/settings.hpp"
#include "util/clock.hpp"
#include "util/fatal.hpp"
#include "util/log.hpp"

namespace tollmar::channel {

namespace detail {
std::int64_t (*ticket_clock_ms)() = util::monotonic_ms;
}  // namespace detail

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

// The certificates and keys (-c, -k and the second pair, if any) in one order.
constexpr int file_count = 4;
struct file_set {
    file_identity file[file_count];
};

bool operator==(const file_set& a, const file_set& b) {
    for (int i = 0; i < file_count; ++i)
        if (!(a.file[i] == b.file[i])) return false;
    return true;
}

file_set configured_files() {
    const config::settings_record& s = config::settings;
    return {{identity_of(s.cert_file), identity_of(s.key_file), identity_of(s.second_cert_file),
             identity_of(s.second_key_file)}};
}

// The files' identity at the last attempt to build the shared context,
// whether it succeeded or not: a failed attempt is not repeated (nor logged
// again) until one of the files changes.
struct {
    bool attempted = false;
    file_set files;
} last_attempt;

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

// Loads one certificate and its key into context; on failure names the step
// and the file. The certificate file may hold the whole chain (the
// certificate, then its intermediates), all of which are sent: a client that
// knows only the root needs them. OpenSSL refuses a key that is not the
// certificate's as it loads it, so a mismatched pair fails at the key.
bool load_pair(SSL_CTX* context, const char* cert_file, const char* key_file, const char** what,
               const char** path) {
    *path = cert_file;
    *what = "SSL: failed to use certificate file";
    if (cert_file == nullptr || SSL_CTX_use_certificate_chain_file(context, cert_file) < 1)
        return false;
    *path = key_file;
    *what = "SSL: failed to use key file";
    return key_file != nullptr &&
           SSL_CTX_use_PrivateKey_file(context, key_file, SSL_FILETYPE_PEM) == 1 &&
           SSL_CTX_check_private_key(context) == 1;
}

// The key type of the certificate loaded last.
int loaded_key_type(SSL_CTX* context) {
    X509* cert = SSL_CTX_get0_certificate(context);
    EVP_PKEY* key = cert != nullptr ? X509_get0_pubkey(cert) : nullptr;
    return key != nullptr ? EVP_PKEY_get_base_id(key) : EVP_PKEY_NONE;
}

// The configured pair, and the second one if given. A context holds one
// certificate per key type and offers each client the one whose signature it
// accepts; a second of the same type would silently replace the first, so it
// is refused.
bool load_files(SSL_CTX* context, const char** what, const char** path) {
    const config::settings_record& s = config::settings;
    if (!load_pair(context, s.cert_file, s.key_file, what, path)) return false;
    if (s.second_cert_file == nullptr && s.second_key_file == nullptr) return true;
    const int first_type = loaded_key_type(context);
    if (!load_pair(context, s.second_cert_file, s.second_key_file, what, path)) return false;
    *path = s.second_cert_file;
    *what = "SSL: second certificate has the first one's key type";
    return loaded_key_type(context) != first_type;
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

// TLS 1.3 session tickets, for the contexts the listener builds. A polling
// client resumes with its ticket instead of a full handshake: no certificate
// sent, no signature made. The listener holds the keys in memory only (never
// on disk); every connection process inherits them through fork and can
// therefore open a ticket that another one issued. A key issues tickets for
// ticket_key_lifetime_s and opens them for as long again, then it is wiped:
// a ticket key that leaks later opens nothing recorded before. Resumption
// always runs a fresh (EC)DHE exchange as well (psk_dhe_ke: OpenSSL refuses
// the other mode unless told otherwise), so even the key of the hour does
// not decrypt a recorded connection: forward secrecy stays. TLS 1.2 gets no
// tickets, since its resumption skips the key exchange.
struct ticket_key {
    bool valid = false;
    std::int64_t born_ms = 0;
    unsigned char name[16] = {};
    unsigned char cipher_key[32] = {};
    unsigned char mac_key[32] = {};
};

// [0] issues and opens, [1] (the one before) only opens.
ticket_key ticket_keys[2];

void wipe(ticket_key& key) {
    OPENSSL_cleanse(&key, sizeof key);
    key.valid = false;
}

// A fresh key into [0], the current one into [1]; the one before is wiped.
// Without randomness there is no key, and no tickets until the next try.
void rotate_ticket_keys(std::int64_t now_ms) {
    wipe(ticket_keys[1]);
    ticket_keys[1] = ticket_keys[0];
    ticket_key& fresh = ticket_keys[0];
    fresh.born_ms = now_ms;
    fresh.valid = RAND_bytes(fresh.name, sizeof fresh.name) == 1 &&
                  RAND_bytes(fresh.cipher_key, sizeof fresh.cipher_key) == 1 &&
                  RAND_bytes(fresh.mac_key, sizeof fresh.mac_key) == 1;
    if (!fresh.valid) wipe(fresh);
}

void rotate_ticket_keys_when_due() {
    const std::int64_t now = detail::ticket_clock_ms();
    if (!ticket_keys[0].valid ||
        now - ticket_keys[0].born_ms >= detail::ticket_key_lifetime_s * 1000)
        rotate_ticket_keys(now);
    // A listener that served nobody for a whole lifetime keeps no key that
    // could open an older ticket.
    if (ticket_keys[1].valid &&
        now - ticket_keys[1].born_ms >= 2 * detail::ticket_key_lifetime_s * 1000)
        wipe(ticket_keys[1]);
}

bool set_ticket_cipher(const ticket_key& key, unsigned char* iv, EVP_CIPHER_CTX* cipher,
                       EVP_MAC_CTX* mac, int enc) {
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(
            OSSL_MAC_PARAM_KEY, const_cast<unsigned char*>(key.mac_key), sizeof key.mac_key),
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>("SHA256"), 0),
        OSSL_PARAM_construct_end()};
    return EVP_CipherInit_ex(cipher, EVP_aes_256_cbc(), nullptr, key.cipher_key, iv, enc) == 1 &&
           EVP_MAC_CTX_set_params(mac, params) == 1;
}

// OpenSSL's ticket callback: 1 ticket made / opened, 2 opened with the
// previous key (a new ticket under the current key follows), 0 no ticket /
// not ours or expired (a full handshake, never an error), -1 failure.
int ticket_callback(SSL* handle, unsigned char* name, unsigned char* iv, EVP_CIPHER_CTX* cipher,
                    EVP_MAC_CTX* mac, int enc) {
    if (SSL_version(handle) < TLS1_3_VERSION) return 0;
    if (enc != 0) {
        const ticket_key& key = ticket_keys[0];
        if (!key.valid) return 0;
        std::memcpy(name, key.name, sizeof key.name);
        if (RAND_bytes(iv, EVP_CIPHER_get_iv_length(EVP_aes_256_cbc())) != 1) return -1;
        return set_ticket_cipher(key, iv, cipher, mac, 1) ? 1 : -1;
    }
    for (int i = 0; i < 2; ++i) {
        const ticket_key& key = ticket_keys[i];
        if (!key.valid || std::memcmp(name, key.name, sizeof key.name) != 0) continue;
        if (!set_ticket_cipher(key, iv, cipher, mac, 0)) return -1;
        return i == 0 ? 1 : 2;
    }
    return 0;
}

// A context from the configured files with the server's policy, or nullptr
// with *what (and *path, for a file) naming the failed step. With tickets:
// the listener's context, whose keys every connection process shares.
SSL_CTX* build_context(bool tickets, const char** what, const char** path) {
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
    SSL_CTX_set_options(context, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Never a session cache: it would live in a process that ends with its
    // connection. Resumption only by the tickets above, and only from the
    // listener's context (a context built by a connection process would
    // issue tickets under keys that die with it); resumption without a key
    // exchange stays refused.
    SSL_CTX_clear_options(context, SSL_OP_ALLOW_NO_DHE_KEX);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    if (tickets) {
        SSL_CTX_set_num_tickets(context, 1);
        SSL_CTX_set_timeout(context, detail::ticket_key_lifetime_s);
        SSL_CTX_set_tlsext_ticket_key_evp_cb(context, ticket_callback);
    } else {
        SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
        SSL_CTX_set_num_tickets(context, 0);
    }
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
    tls_context = build_context(false, what, path);
    return tls_context != nullptr;
}

}  // namespace

void tls_load_context() {
    const char* what = nullptr;
    const char* path = nullptr;
    if (load_context(&what, &path)) return;
    if (path != nullptr) util::fatal(nullptr, "%s: %s", what, path);
    util::fatal(nullptr, "%s", what);
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
    // Judged by what the files were before they were read: a change while
    // they are read shows at the next connection and builds again.
    last_attempt = {true, configured_files()};
    // Sessions begun under the files before end with them: a client that
    // would resume one gets a full handshake and the certificate now served.
    wipe(ticket_keys[0]);
    wipe(ticket_keys[1]);
    rotate_ticket_keys_when_due();
    const char* what = nullptr;
    const char* path = nullptr;
    SSL_CTX* fresh = build_context(true, &what, &path);
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
    rotate_ticket_keys_when_due();
    if (last_attempt.attempted && configured_files() == last_attempt.files) return;
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
    if (handle == nullptr) util::fatal(nullptr, "%s", "SSL: failed to get new handle");
    set_tls_handle(handle);
    SSL_set_fd(handle, fd);
    if (!accept_within_timeout(fd, handle)) {
        if (!phase_deadline_passed())
            util::fatal(nullptr, "%s", "SSL: failed to accept connection");
        end_at_phase_deadline();
    }
}

void tls_end() {
    // The connection process ends TLS as it hands the handshake to its
    // pre-login process; it never opens a ticket, and keeps no key that
    // could, once it serves as the account.
    wipe(ticket_keys[0]);
    wipe(ticket_keys[1]);
    SSL_free(get_tls_handle());
    set_tls_handle(nullptr);
    SSL_CTX_free(tls_context);
    tls_context = nullptr;
}

void tls_forget_context() {
    wipe(ticket_keys[0]);
    wipe(ticket_keys[1]);
    SSL_CTX_free(shared_context);
    shared_context = nullptr;
    SSL_CTX_free(tls_context);
    tls_context = nullptr;
}

}  // namespace tollmar::channel
