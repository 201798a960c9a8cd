// The process-wide settings record, filled once from the command line and
// read-only afterwards (connection processes inherit it across fork).
#pragma once
#include <cstdint>

namespace tollmar::server {

struct server_settings {
    const char* listen_address = nullptr;  // none: any local address
    const char* port = nullptr;            // "110", or "995" with -s, after parsing
    const char* cert_file = "/etc/tollmar/cert.pem";
    const char* key_file = "/etc/tollmar/key.pem";
    const char* pid_file = "/var/run/tollmar.pid";
    unsigned char daemon_mode = 0;
    const char* auth_file = nullptr;  // none: log in against the system accounts
    int use_access_lists = 0;
    const char* mail_spool_dir = "/var/mail/";  // always ends in "/"
    const char* home_mbox = nullptr;
    const char* spool_tmp_dir = "/tmp";
    std::uint32_t io_timeout = 30;  // seconds
};

extern server_settings settings;

void set_tls_mode(int mode);
int get_tls_mode();

}  // namespace tollmar::server
