#include "session/session.hpp"

#include "channel/line_io.hpp"
#include "channel/tls.hpp"
#include "channel/wait.hpp"
#include "config/settings.hpp"
#include "session/phases.hpp"

namespace tollmar::session {

void run_session(int fd) {
    // The login phase, handshake included, has one deadline in total, so a
    // client cannot hold the process by sending a byte now and then.
    if (config::settings.login_deadline != 0)
        channel::set_phase_deadline(channel::monotonic_ms() +
                                    std::int64_t{config::settings.login_deadline} * 1000);
    if (config::settings.use_tls) channel::tls_start(fd);
    channel::send_text(fd, "+OK\r\n");

    char command_line[command_buffer_size];
    char login_name[command_buffer_size + 1];
    authorize(fd, command_line, login_name);
    acquire_maildrop(fd, login_name);
    command_loop(fd, command_line);
}

}  // namespace tollmar::session
