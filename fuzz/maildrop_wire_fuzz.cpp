// Any bytes as a stored message, handed over in pieces cut anywhere: the wire
// form must be the byte-by-byte reference, TOP a cut of it at a line end, the
// counted size its octets without stuffing dots, and undoing the stuffing and
// the line ends must give back the stored lines.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "maildrop/framing.hpp"
#include "maildrop/wire_form.hpp"
#include "support/reference_wire.hpp"

namespace {

using tollmar::maildrop::all_lines;
using tollmar::test::reference_wire;
using tollmar::test::without_separator;

struct string_sink {
    std::string out;
    void text(const char* p, std::size_t n) { out.append(p, n); }
    void text_crlf(const char* p, std::size_t n) {
        out.append(p, n);
        out += "\r\n";
    }
    void stuffing() { out += '.'; }
};

// The sent lines, each without its CR LF and stuffing dot.
std::vector<std::string> sent_lines(const std::string& sent) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < sent.size()) {
        const std::size_t crlf = sent.find("\r\n", at);
        if (crlf == std::string::npos) std::abort();  // a line without its end
        std::string line = sent.substr(at, crlf - at);
        if (line.find('\n') != std::string::npos) std::abort();
        if (!line.empty() && line[0] == '.') {
            if (line.size() < 2 || line[1] != '.') std::abort();
            line.erase(0, 1);
        }
        lines.push_back(line);
        at = crlf + 2;
    }
    return lines;
}

// The stored lines: split at LF, a CR right before an LF is the line end's.
std::vector<std::string> stored_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t lf = text.find('\n', at);
        const bool ended = lf != std::string::npos;
        if (!ended) lf = text.size();
        std::string line = text.substr(at, lf - at);
        if (ended && !line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        at = lf + 1;
    }
    return lines;
}

// Feeds the message in pieces whose lengths cycle through `cuts`.
template <typename Sink>
void feed(const std::string& stored, const std::uint8_t* cuts, std::size_t cut_count,
          std::uint64_t body_lines, Sink& sink) {
    tollmar::maildrop::wire_state state;
    tollmar::maildrop::wire_begin(
        state, tollmar::maildrop::starts_with_separator(stored.data(), stored.size()), body_lines);
    std::size_t at = 0;
    for (std::size_t i = 0; at < stored.size(); ++i) {
        std::size_t n = 1 + cuts[i % cut_count] * 37u;
        if (n > stored.size() - at) n = stored.size() - at;
        tollmar::maildrop::wire_take(state, stored.data() + at, n, sink);
        at += n;
    }
    tollmar::maildrop::wire_finish(state, sink);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Two bytes of piece lengths, one of TOP's count, then the message.
    if (size < 3) return 0;
    const std::uint64_t top_lines = data[2] % 8;
    const std::string stored(reinterpret_cast<const char*>(data) + 3, size - 3);
    const std::string text = without_separator(stored);

    string_sink retr;
    feed(stored, data, 2, all_lines, retr);
    if (retr.out != reference_wire(text)) std::abort();
    const std::vector<std::string> lines = sent_lines(retr.out);
    if (lines != stored_lines(text)) std::abort();

    tollmar::maildrop::wire_counter counter = {0};
    feed(stored, data + 1, 1, all_lines, counter);
    std::int64_t octets = 0;
    for (const auto& line : lines) octets += static_cast<std::int64_t>(line.size()) + 2;
    if (counter.octets != octets) std::abort();

    // TOP: the header, its blank line and top_lines lines after it; the
    // whole message when no line is blank.
    string_sink top;
    feed(stored, data + 1, 1, top_lines, top);
    std::size_t keep = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!lines[i].empty()) continue;
        keep = std::min<std::size_t>(lines.size(), i + 1 + top_lines);
        break;
    }
    if (sent_lines(top.out) != std::vector<std::string>(lines.begin(), lines.begin() + keep))
        std::abort();
    if (retr.out.compare(0, top.out.size(), top.out) != 0) std::abort();
    return 0;
}
