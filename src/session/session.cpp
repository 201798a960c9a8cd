#include "session/session.hpp"

#include <cstdlib>

#include "channel/line_io.hpp"
#include "util/text.hpp"

namespace tollmar::session {

// Greets and answers QUIT until the login and maildrop phases are wired in.
void run_session(int fd) {
    channel::send_text(fd, "+OK\r\n");
    char line[4096];
    for (;;) {
        if (channel::read_line(fd, line, sizeof line) == 0) std::exit(0);
        if (util::starts_with_nocase(line, "QUIT", 4)) {
            channel::send_text(fd, "+OK\r\n");
            std::exit(0);
        }
        channel::send_text(fd, "-ERR\r\n");
    }
}

}  // namespace tollmar::session
