#include "session/message_sender.hpp"

#include <cstddef>

#include "channel/line_io.hpp"
#include "maildrop/file_io.hpp"
#include "maildrop/framing.hpp"
#include "maildrop/wire_form.hpp"
#include "util/signals.hpp"

namespace tollmar::session {

namespace {

// The wire form goes straight into the (corked) connection output.
struct connection_sink {
    int fd;
    void text(const char* p, std::size_t n) { channel::send_bytes(fd, p, n); }
    void text_crlf(const char* p, std::size_t n) { channel::send_line(fd, p, n, false); }
    void stuffing() { channel::send_bytes(fd, ".", 1); }
};

}  // namespace

bool send_message(int out, int in, std::int64_t offset, std::int64_t length,
                  std::uint64_t body_lines) {
    // One message is sent at a time, so one block buffer serves them all.
    static char block[64 * 1024];
    connection_sink sink = {out};
    maildrop::wire_state state{};
    bool first = true;
    while (length > 0) {
        // Between blocks nothing is half done: a recorded termination signal
        // may end the process here.
        util::act_on_pending_signals();
        const std::size_t want = length < static_cast<std::int64_t>(sizeof block)
                                     ? static_cast<std::size_t>(length)
                                     : sizeof block;
        const ssize_t got = maildrop::detail::pread_full(in, block, want, offset);
        if (got < 0) return false;
        if (got == 0) break;
        const auto n = static_cast<std::size_t>(got);
        if (first) {
            // A full read gives the first five bytes unless the message is
            // shorter, and then it has no separator line.
            maildrop::wire_begin(state, maildrop::starts_with_separator(block, n), body_lines);
            first = false;
        }
        maildrop::wire_take(state, block, n, sink);
        if (state.done) return true;
        offset += got;
        length -= got;
        if (n < want) break;  // the file ends early
    }
    if (!first) maildrop::wire_finish(state, sink);
    return true;
}

}  // namespace tollmar::session
