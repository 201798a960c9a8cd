#include "channel/line_io.hpp"
#include "session/commands.hpp"

namespace tollmar::session {

// The same list in both states.
void cmd_capa(int fd, const char*) {
    static constexpr const char* lines[] = {
        "+OK Capability list follows\r\n",
        "TOP\r\n",
        "UIDL\r\n",
        "USER\r\n",
        "EXPIRE NEVER\r\n",
        "AUTH-RESP-CODE\r\n",
        ".\r\n",
    };
    channel::cork_output();
    for (const char* line : lines) channel::send_text(fd, line);
    channel::flush_output(fd);
}

}  // namespace tollmar::session
