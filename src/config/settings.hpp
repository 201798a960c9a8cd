// The process-wide settings record, filled once from the command line and
// read-only afterwards (connection processes inherit it across fork). It sits
// below every other subsystem but util and digest, so each may read it.
#pragma once
#include <cstdint>

#include "config/address_prefix.hpp"

namespace tollmar::config {

// Fixed capacities keep the record a plain value that needs no allocation.
inline constexpr unsigned max_listen_addresses = 16;
inline constexpr unsigned max_trusted_proxies = 16;

struct settings_record {
    // -l, in the order given; none: every address of both families
    const char* listen_addresses[max_listen_addresses] = {};
    unsigned listen_address_count = 0;
    const char* port = nullptr;  // "110", or "995" with -s, after parsing
    bool use_tls = false;        // TLS on the whole connection (-s)
    // -S: a plain listener offers STLS with the certificate and key below;
    // -R: and refuses a login until the client has taken it.
    bool offer_stls = false;
    bool require_tls = false;
    const char* cert_file = "/etc/tollmar/cert.pem";
    const char* key_file = "/etc/tollmar/key.pem";
    // A second -c/-k pair, of the other key type (ECDSA beside RSA, or the
    // other way round): each client gets the one it can verify. nullptr: none.
    const char* second_cert_file = nullptr;
    const char* second_key_file = nullptr;
    const char* pid_file = "/var/run/tollmar.pid";
    bool daemon_mode = false;
    bool log_to_stderr = false;       // -e: every log line also on standard error
    const char* auth_file = nullptr;  // none: log in against the system accounts
    bool use_access_lists = false;
    const char* mail_spool_dir = "/var/mail/";  // always ends in "/"
    const char* home_mbox = nullptr;
    const char* spool_tmp_dir = "/tmp";
    // -X: messages are read from the locked maildrop at their offsets, no
    // spool copies are made, and an index beside the maildrop lets the next
    // login read only what is new.
    bool serve_from_maildrop = false;
    std::uint32_t io_timeout = 30;  // seconds
    // The pre-login process (TLS handshake and the dialogue up to PASS) runs
    // as this account, chrooted into prelogin_root.
    const char* prelogin_user = "nobody";  // -u
    const char* prelogin_root = "/run/tollmar/empty";
    // In inetd mode the connections share no listener: the login throttle's
    // tables are kept in this file instead (made when missing).
    const char* login_throttle_file = "/run/tollmar/login-throttle";
    // Connection processes the listener keeps at once from one client
    // address (-n) and in total (-N); a connection over either is refused.
    std::uint32_t per_address_limit = 20;
    std::uint32_t connection_limit = 500;
    // Seconds for the whole login phase, TLS handshake included (-A); 0: none.
    std::uint32_t login_deadline = 60;
    // Seconds of the first delay after a refused login from an address (-P),
    // doubled for each further refusal; 0: no delay.
    std::uint32_t login_delay = 2;
    // Leading bits of an IPv6 client's address under which the limits, the
    // throttle and the refusal reports count it (-b); 128: the address alone.
    // IPv4 clients always count under their address.
    std::uint32_t ipv6_prefix_bits = 64;
    bool inetd_mode = false;  // -i: serve the one connection on standard input
    // -r: the proxies whose connections start with a PROXY protocol header
    address_prefix trusted_proxies[max_trusted_proxies] = {};
    unsigned trusted_proxy_count = 0;
};

extern settings_record settings;

// A connection may come to speak TLS: on the whole of it (-s) or after STLS.
inline bool tls_configured() {
    return settings.use_tls || settings.offer_stls;
}

}  // namespace tollmar::config
