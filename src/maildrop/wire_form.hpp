// How a stored message goes out in RETR and TOP, and so what LIST and STAT
// count.
//
// The mbox separator line ("From sender date", the first line of every
// message in a maildrop) is framing, not part of the message: it is never
// sent. Every other stored line goes out as one line however long: its bytes
// as stored (a bare CR, a NUL, 8-bit bytes included), then a line end. A line
// stored with CR LF keeps it, a bare LF becomes CR LF, and a last line without
// any line end gets CR LF. A line that begins with "." gets one more in front
// (dot-stuffing), which sizes do not count.
//
// The bytes arrive in pieces of any length, wherever they were read from; the
// form depends only on the bytes, never on where the pieces are cut. The
// scan counts with the same code the commands send with, so a size is always
// exactly the octets sent before the terminating ".".
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tollmar::maildrop {

// TOP's line count that never runs out: RETR.
inline constexpr std::uint64_t all_lines = UINT64_MAX;

struct wire_state {
    bool skipping;             // inside the separator line
    bool line_start;           // the next byte begins a line
    bool after_cr;             // the last byte taken, inside a line, was a CR
    bool in_header;            // before the blank line that ends the header
    bool done;                 // TOP's lines are all sent: take nothing more
    std::uint64_t line_bytes;  // bytes of the current line so far
    std::uint64_t body_lines;  // body lines still to send
};

// `separator`: the message's stored bytes begin with its separator line
// (starts_with_separator, framing.hpp); a message without one (the start of a
// maildrop that does not begin with it) is sent whole.
inline void wire_begin(wire_state& state, bool separator, std::uint64_t body_lines) {
    state.skipping = separator;
    state.line_start = true;
    state.after_cr = false;
    state.in_header = true;
    state.done = false;
    state.line_bytes = 0;
    state.body_lines = body_lines;
}

namespace detail {

// A line has ended: in the header only the blank line counts (TOP sends the
// whole header, the blank line, then its count of body lines).
inline void wire_line_ended(wire_state& state, bool blank) {
    if (state.in_header) {
        if (!blank) return;
        state.in_header = false;
        if (state.body_lines == 0) state.done = true;
        return;
    }
    if (state.body_lines != all_lines && --state.body_lines == 0) state.done = true;
}

}  // namespace detail

// Takes the next length bytes of the message and hands their wire form to
// sink: sink.text(p, n) for bytes as they are, sink.text_crlf(p, n) for bytes
// followed by CR LF (a bare LF's line end), sink.stuffing() for a stuffing
// dot. Stretches that need no change go out in one call, so a message stored
// with CR LF and without leading dots goes out a block at a time.
template <typename Sink>
void wire_take(wire_state& state, const char* data, std::size_t length, Sink& sink) {
    const char* p = data;
    const char* const end = data + length;
    const char* run = p;  // bytes from here to p go out unchanged
    while (p < end && !state.done) {
        if (state.skipping) {
            const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
            if (lf == nullptr) return;  // the separator line goes on
            p = static_cast<const char*>(lf) + 1;
            run = p;
            state.skipping = false;
            continue;
        }
        if (state.line_start) {
            if (*p == '.') {
                sink.text(run, static_cast<std::size_t>(p - run));
                sink.stuffing();
                run = p;
            }
            state.line_start = false;
        }
        const void* found = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (found == nullptr) {
            state.line_bytes += static_cast<std::uint64_t>(end - p);
            state.after_cr = end[-1] == '\r';
            p = end;
            break;
        }
        const char* lf = static_cast<const char*>(found);
        const auto before = static_cast<std::uint64_t>(lf - p);
        const bool cr = before > 0 ? lf[-1] == '\r' : state.after_cr;
        const std::uint64_t line = state.line_bytes + before;
        p = lf + 1;
        if (!cr) {
            sink.text_crlf(run, static_cast<std::size_t>(lf - run));
            run = p;
        }
        state.line_start = true;
        state.after_cr = false;
        state.line_bytes = 0;
        detail::wire_line_ended(state, line == 0 || (line == 1 && cr));
    }
    sink.text(run, static_cast<std::size_t>(p - run));
}

// The message has ended: a last line without a line end gets one.
template <typename Sink>
void wire_finish(const wire_state& state, Sink& sink) {
    if (!state.done && !state.skipping && !state.line_start) sink.text_crlf("", 0);
}

// Counts the octets of the wire form, stuffing dots left out: a message's
// size as LIST and STAT report it.
struct wire_counter {
    std::int64_t octets;
    void text(const char*, std::size_t n) { octets += static_cast<std::int64_t>(n); }
    void text_crlf(const char*, std::size_t n) { octets += static_cast<std::int64_t>(n) + 2; }
    void stuffing() {}
};

}  // namespace tollmar::maildrop
