// Timed line I/O on the client connection, over plain TCP or TLS.
//
// Every failure here is fatal: it is logged and the process exits with status
// 1 (through exit(), so at-exit clean-up runs). Callers never see an error.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tollmar::channel {

// True while the connection speaks TLS: from tls_accept (or tls_start) until
// tls_end. Every read and write below goes through TLS then, and plain TCP
// otherwise: a process that does no TLS itself (the session behind the TLS
// relay) reads and writes plain text although TLS is configured.
bool tls_active();

// Writes the whole NUL-terminated text (each write attempt waits at most
// io_timeout seconds for the connection). Returns strlen(text), 0 for a null
// or empty text. While output is corked the text is collected instead and goes
// out with the next flush.
std::size_t send_text(int fd, const char* text);

// The reply that ends the session: sends it (a client that does not take it
// within io_timeout is not waited for longer), logs the line if one is given,
// and exits with status 1 through exit(), so that the at-exit clean-up (the
// maildrop's lock, the summary line) runs.
[[noreturn]] void end_session(int fd, const char* reply);
[[noreturn]] void end_session(int fd, const char* reply, int priority, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// send_text for length bytes that may hold NULs.
void send_bytes(int fd, const char* data, std::size_t length);

// One line of a multi-line reply: a "." first when stuffed, then length bytes
// of text (NULs allowed), then CR LF; as three send_bytes calls would send it.
void send_line(int fd, const char* text, std::size_t length, bool stuffed);

// Bytes handed to send_text, send_bytes and send_line so far, whether
// written yet or still collected: what the session counts as sent.
std::uint64_t output_octets();

// Collect replies instead of writing each piece; flush_output() writes what was
// collected (also whenever the buffer fills) and ends the collection. A read
// that has to wait for the client flushes first. Used while a multi-line reply
// or a batch of pipelined commands is answered.
void cork_output();
void flush_output(int fd);

// One timed read: bytes read, 0 at end of input, negative with errno set.
// Sends "-ERR read() timed out.\r\n" and exits when the wait expires.
long read_timed(int fd, char* buf, std::size_t size);

// One line (line end kept) into buf, at most max - 1 bytes, NUL-terminated.
// Returns 0 when input ended before any byte was read in this call (buf is
// then empty), positive otherwise. A line longer than max - 1 bytes is cut and
// the rest of it up to its LF is discarded.
int read_line(int fd, char* buf, std::size_t max);

// True when read_line holds unconsumed input (a pipelined command), in its own
// buffer or already decrypted by the TLS layer.
bool input_pending();

// Called before every wait on the client, and at least once a minute while a
// wait lasts: the session uses it to keep its maildrop lock fresh.
using wait_hook = void (*)();
void set_wait_hook(wait_hook hook);

// Zeroes the input already handed out by read_line that still sits in the
// reader's buffer (a PASS line, once the credentials are checked); input not
// yet read (pipelined commands) stays.
void wipe_consumed_input();

// Room of the line reader's buffer: the most input it can hold unconsumed.
inline constexpr std::size_t reader_capacity = 4096;

// Moves the input the reader holds unconsumed (at most size bytes) into buf
// and returns its length; the reader is empty afterwards when it all fit.
std::size_t take_pending_input(char* buf, std::size_t size);

// Makes data (at most reader_capacity bytes; more is cut) the reader's
// unconsumed input, read before anything from the connection. Used when a
// session takes over a connection whose commands another process has read.
void push_input(const char* data, std::size_t size);

// Wipes and empties the reader, unconsumed input included: nothing the
// client sent before this call is ever read (what came behind STLS).
void drop_input();

// Empties the reader (for tests).
void reset_reader();

// Drops what the writer holds corked and uncorks it (for tests that run one
// session after another in a process).
void reset_writer();

// The reader's whole buffer, consumed part included (for tests).
const char* reader_buffer(std::size_t* size);

}  // namespace tollmar::channel
