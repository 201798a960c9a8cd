// Feeds arbitrary bytes, as a hostile pre-login process could send them, to
// the root side's message reader and decoders, and the log lines root would
// write for it. Every message that a decoder accepts must keep the promises
// the root side relies on.
//
// Input: the bytes on the socket pair (at most what a pipe holds).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "session/login_message.hpp"
#include "session/prelogin_log.hpp"

namespace {

using namespace tollmar::session;

message in;
login_request request;
char line[tollmar::util::log_line_size];
char logged[tollmar::util::log_line_size];

void check(bool promise) {
    if (!promise) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    int fds[2];
    if (pipe(fds) != 0) return 0;
    const std::size_t room = size < 60000 ? size : 60000;
    if (room > 0 && write(fds[1], data, room) != static_cast<ssize_t>(room)) {
        close(fds[0]);
        close(fds[1]);
        return 0;
    }
    close(fds[1]);
    const char* why = nullptr;
    while (read_message(fds[0], in, &why) == read_status::complete) {
        check(in.length <= message_body_limit(in.type));
        switch (in.type) {
            case message_login:
                if (decode_login(in, request, &why)) {
                    const std::size_t n = std::strlen(request.name);
                    const std::size_t p = std::strlen(request.password);
                    check(n <= tollmar::auth::longest_credential);
                    check(p <= tollmar::auth::longest_credential);
                    check(8 + n + p == in.length);
                    check(std::strpbrk(request.name, "\r\n") == nullptr);
                    check(std::strpbrk(request.password, "\r\n") == nullptr);
                }
                break;
            case message_log: {
                int priority = -1;
                if (decode_log(in, priority, line, &why)) {
                    check(priority >= LOG_EMERG && priority <= LOG_DEBUG);
                    check(std::strlen(line) + 4 == in.length);
                    // What root would write of it: one of the fixed events,
                    // one line, never a refused login.
                    if (prelogin_log_line(priority, line, logged, sizeof logged)) {
                        for (const char* c = logged; *c != '\0'; ++c) {
                            check(static_cast<unsigned char>(*c) >= 0x20 && *c != 0x7f);
                        }
                        check(std::strncmp(logged, "login failed", 12) != 0);
                    }
                }
                break;
            }
            case message_verdict: {
                tollmar::auth::login_verdict verdict{};
                if (decode_verdict(in, verdict, &why)) check(in.length == 4);
                break;
            }
            default:
                check(decode_handover(in, &why) && in.length <= tollmar::channel::reader_capacity);
        }
    }
    close(fds[0]);
    return 0;
}
