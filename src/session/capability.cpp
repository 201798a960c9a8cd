#include "channel/line_io.hpp"
#include "channel/tls.hpp"
#include "config/settings.hpp"
#include "session/commands.hpp"

namespace tollmar::session {

namespace {

// The login mechanisms are listed only where a login may follow; STLS only
// before the login, on a connection that does not yet speak TLS.
void send_capabilities(int fd, bool login_offered, bool stls_offered) {
    channel::cork_output();
    channel::send_text(fd, "+OK Capability list follows\r\nTOP\r\nUIDL\r\n");
    if (login_offered) channel::send_text(fd, "USER\r\nSASL PLAIN\r\n");
    if (stls_offered) channel::send_text(fd, "STLS\r\n");
    channel::send_text(fd, "RESP-CODES\r\nPIPELINING\r\nEXPIRE NEVER\r\nAUTH-RESP-CODE\r\n.\r\n");
    channel::flush_output(fd);
}

}  // namespace

bool login_offered() {
    return !config::settings.require_tls || channel::tls_active();
}

bool stls_offered() {
    return config::settings.offer_stls && channel::tls_context_ready() && !channel::tls_active();
}

void cmd_auth_capa(int fd, const char*) {
    send_capabilities(fd, login_offered(), stls_offered());
}

// After the login the session process may not do TLS itself (a relay does),
// so nothing here depends on the channel.
void cmd_capa(int fd, const char*) {
    send_capabilities(fd, true, false);
}

}  // namespace tollmar::session
