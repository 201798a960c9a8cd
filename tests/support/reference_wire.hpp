// The wire form of a stored message as the protocol describes it, byte by
// byte, written as plainly as possible so that the real encoder (chunked,
// buffered, vectorised) has something independent to be compared with.
#pragma once

#include <string>

namespace tollmar::test {

// The message after its separator line ("From " and the rest of that line),
// when it has one.
inline std::string without_separator(const std::string& stored) {
    if (stored.compare(0, 5, "From ") != 0) return stored;
    const std::size_t lf = stored.find('\n');
    return lf == std::string::npos ? std::string() : stored.substr(lf + 1);
}

// A stuffing dot before every line that starts with one, a CR before every
// LF that has none, CR LF after a last line that has no line end.
inline std::string reference_wire(const std::string& text) {
    std::string sent;
    bool line_start = true;
    for (const char c : text) {
        if (line_start && c == '.') sent += '.';
        if (c == '\n' && (line_start || sent.back() != '\r')) sent += '\r';
        sent += c;
        line_start = c == '\n';
    }
    if (!line_start) sent += "\r\n";
    return sent;
}

}  // namespace tollmar::test
