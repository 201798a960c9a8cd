// Sends a stored message as the body of a RETR or TOP reply.
#pragma once
#include <cstdint>

namespace tollmar::session {

// Sends the wire form (maildrop/wire_form.hpp) of the length bytes of in
// from offset: the message without its separator line, each stored line one
// line, dot-stuffed, and for TOP only the header, the blank line and
// body_lines lines of the body (maildrop::all_lines for RETR). Where the bytes
// are kept does not matter: the same bytes always go out the same. A file
// that ends early ends the message there. False after a read error, with
// errno set; what was sent by then stays sent.
bool send_message(int out, int in, std::int64_t offset, std::int64_t length,
                  std::uint64_t body_lines);

}  // namespace tollmar::session
