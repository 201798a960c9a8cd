// Feeds arbitrary bytes to the PROXY header parser, whole and as the reader
// feeds it (only as many bytes as the parser asks for), and checks that both
// agree and that a complete header never claims more bytes than it was given
// or than the reader was allowed to read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "channel/proxy_header.hpp"

using tollmar::channel::parse_proxy_header;
using tollmar::channel::proxy_header;
using tollmar::channel::proxy_parse;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    proxy_header whole;
    const proxy_parse whole_state = parse_proxy_header(data, size, &whole);
    if (whole_state == proxy_parse::complete && (whole.length == 0 || whole.length > size)) {
        std::abort();
    }
    if (whole_state == proxy_parse::invalid && whole.problem == nullptr) std::abort();

    std::size_t given = 0;
    proxy_header step;
    proxy_parse state;
    while ((state = parse_proxy_header(data, given, &step)) == proxy_parse::need_more) {
        if (step.wanted == 0 || step.wanted > tollmar::channel::proxy_max) std::abort();
        if (given + step.wanted > size) break;  // the input ends inside the header
        given += step.wanted;
    }
    if (state == proxy_parse::complete) {
        // The reader would have stopped exactly at the end of the header, and
        // the whole input must read the same.
        if (step.length != given || whole_state != proxy_parse::complete ||
            whole.length != step.length || whole.has_client != step.has_client ||
            std::strcmp(whole.kind, step.kind) != 0 ||
            std::memcmp(&whole.client, &step.client, sizeof whole.client) != 0) {
            std::abort();
        }
    }
    if (state == proxy_parse::invalid && whole_state != proxy_parse::invalid) std::abort();
    return 0;
}
