#include "channel/proxy_header.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace tollmar::channel {

namespace {

constexpr unsigned char v1_signature[] = {'P', 'R', 'O', 'X', 'Y', ' '};
constexpr unsigned char v2_signature[] = {0x0d, 0x0a, 0x0d, 0x0a, 0x00, 0x0d,
                                          0x0a, 0x51, 0x55, 0x49, 0x54, 0x0a};

// Address block sizes of version 2 by family: IPv4, IPv6, UNIX.
constexpr std::size_t v2_inet_block = 12;
constexpr std::size_t v2_inet6_block = 36;
constexpr std::size_t v2_unix_block = 216;

bool matches_prefix(const unsigned char* data, std::size_t size, const unsigned char* signature,
                    std::size_t signature_size) {
    const std::size_t n = size < signature_size ? size : signature_size;
    return std::memcmp(data, signature, n) == 0;
}

proxy_parse invalid(proxy_header* out, const char* why) {
    out->problem = why;
    return proxy_parse::invalid;
}

proxy_parse need(proxy_header* out, std::size_t more) {
    out->wanted = more;
    return proxy_parse::need_more;
}

void fill_v4(struct sockaddr_storage* ss, const unsigned char* address, const unsigned char* port) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    std::memcpy(&sin.sin_addr, address, 4);
    std::memcpy(&sin.sin_port, port, 2);  // both in network order already
    std::memset(ss, 0, sizeof *ss);
    std::memcpy(ss, &sin, sizeof sin);
}

void fill_v6(struct sockaddr_storage* ss, const unsigned char* address, const unsigned char* port) {
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    std::memcpy(&sin6.sin6_addr, address, 16);
    std::memcpy(&sin6.sin6_port, port, 2);
    std::memset(ss, 0, sizeof *ss);
    std::memcpy(ss, &sin6, sizeof sin6);
}

// ---- version 1 ---------------------------------------------------------------

// A port: 1 to 5 digits, no leading zero, at most 65535.
bool v1_port(const char* text, unsigned char port[2]) {
    const std::size_t n = std::strlen(text);
    if (n == 0 || n > 5 || (n > 1 && text[0] == '0')) return false;
    unsigned value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (value > 65535) return false;
    port[0] = static_cast<unsigned char>(value >> 8);
    port[1] = static_cast<unsigned char>(value & 0xff);
    return true;
}

// Splits at single blanks into at most `max` words; false for an empty word
// (two blanks, or a blank at either end) or more words than max.
int split_words(char* text, char** words, int max) {
    int count = 0;
    for (char* start = text;;) {
        char* blank = std::strchr(start, ' ');
        if (blank != nullptr) *blank = '\0';
        if (*start == '\0' || count == max) return -1;
        words[count++] = start;
        if (blank == nullptr) return count;
        start = blank + 1;
    }
}

proxy_parse parse_v1(const unsigned char* data, std::size_t size, proxy_header* out) {
    const void* lf = std::memchr(data, '\n', size);
    if (lf == nullptr) {
        if (size >= proxy_v1_max) return invalid(out, "version 1 header too long");
        return need(out, 1);  // the line's end is not known: one byte at a time
    }
    const std::size_t length =
        static_cast<std::size_t>(static_cast<const unsigned char*>(lf) - data) + 1;
    if (length > proxy_v1_max) return invalid(out, "version 1 header too long");
    if (length < 2 || data[length - 2] != '\r') {
        return invalid(out, "version 1 header not ended by CR LF");
    }
    char line[proxy_v1_max + 1];
    const std::size_t text_length = length - 2 - sizeof v1_signature;
    std::memcpy(line, data + sizeof v1_signature, text_length);
    line[text_length] = '\0';
    for (std::size_t i = 0; i < text_length; ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c > 0x7e) return invalid(out, "version 1 header with a control character");
    }
    out->version = 1;
    out->length = length;
    // UNKNOWN: the proxy could not tell; whatever follows the word is ignored.
    if (std::strncmp(line, "UNKNOWN", 7) == 0 && (line[7] == '\0' || line[7] == ' ')) {
        out->kind = "UNKNOWN";
        out->has_client = false;
        return proxy_parse::complete;
    }
    char* words[5];
    if (split_words(line, words, 5) != 5) return invalid(out, "version 1 header malformed");
    int family;
    if (std::strcmp(words[0], "TCP4") == 0) {
        family = AF_INET;
    } else if (std::strcmp(words[0], "TCP6") == 0) {
        family = AF_INET6;
    } else {
        return invalid(out, "version 1 header with an unknown protocol");
    }
    unsigned char source[16];
    unsigned char target[16];
    unsigned char source_port[2];
    unsigned char target_port[2];
    if (inet_pton(family, words[1], source) != 1 || inet_pton(family, words[2], target) != 1) {
        return invalid(out, "version 1 header with a malformed address");
    }
    if (!v1_port(words[3], source_port) || !v1_port(words[4], target_port)) {
        return invalid(out, "version 1 header with a malformed port");
    }
    if (family == AF_INET) {
        fill_v4(&out->client, source, source_port);
        fill_v4(&out->target, target, target_port);
    } else {
        fill_v6(&out->client, source, source_port);
        fill_v6(&out->target, target, target_port);
    }
    out->kind = family == AF_INET ? "TCP4" : "TCP6";
    out->has_client = true;
    return proxy_parse::complete;
}

// ---- version 2 ---------------------------------------------------------------

// The TLVs after the address block must tile it exactly. Their meaning is not
// needed here (no type is required), so they are only checked.
bool v2_tlvs_well_formed(const unsigned char* data, std::size_t size) {
    std::size_t at = 0;
    while (at < size) {
        if (size - at < 3) return false;
        const std::size_t length = static_cast<std::size_t>(data[at + 1]) << 8 | data[at + 2];
        if (size - at - 3 < length) return false;
        at += 3 + length;
    }
    return true;
}

proxy_parse parse_v2(const unsigned char* data, std::size_t size, proxy_header* out) {
    if (size < proxy_v2_fixed) return need(out, proxy_v2_fixed - size);
    const unsigned version = data[12] >> 4;
    const unsigned command = data[12] & 0x0f;
    const unsigned family = data[13] >> 4;
    const unsigned transport = data[13] & 0x0f;
    if (version != 2) return invalid(out, "version 2 header with another version number");
    if (command > 1) return invalid(out, "version 2 header with an unknown command");
    if (family > 3 || transport > 2) {
        return invalid(out, "version 2 header with an unknown family or transport");
    }
    const std::size_t block = static_cast<std::size_t>(data[14]) << 8 | data[15];
    const std::size_t length = proxy_v2_fixed + block;
    if (size < length) return need(out, length - size);

    out->version = 2;
    out->length = length;
    out->has_client = false;
    if (command == 0) {
        // LOCAL: the proxy's own connection (a health check); the rest of the
        // header is to be ignored whatever it holds.
        out->kind = "LOCAL";
        return proxy_parse::complete;
    }
    if (family == 0) {
        out->kind = "UNSPEC";
        return proxy_parse::complete;
    }
    if (transport != 1)
        return invalid(out, "version 2 header for a connection that is not a stream");
    const unsigned char* addresses = data + proxy_v2_fixed;
    const std::size_t needed = family == 1   ? v2_inet_block
                               : family == 2 ? v2_inet6_block
                                             : v2_unix_block;
    if (block < needed) return invalid(out, "version 2 header with a short address block");
    if (!v2_tlvs_well_formed(addresses + needed, block - needed)) {
        return invalid(out, "version 2 header with a malformed TLV");
    }
    if (family == 1) {
        fill_v4(&out->client, addresses, addresses + 8);
        fill_v4(&out->target, addresses + 4, addresses + 10);
        out->kind = "TCP4";
        out->has_client = true;
    } else if (family == 2) {
        fill_v6(&out->client, addresses, addresses + 32);
        fill_v6(&out->target, addresses + 16, addresses + 34);
        out->kind = "TCP6";
        out->has_client = true;
    } else {
        out->kind = "UNIX";  // a local client of the proxy: no address to show
    }
    return proxy_parse::complete;
}

}  // namespace

proxy_parse parse_proxy_header(const unsigned char* data, std::size_t size, proxy_header* out) {
    *out = proxy_header{};
    if (size == 0) return need(out, 1);
    if (data[0] == v1_signature[0]) {
        if (!matches_prefix(data, size, v1_signature, sizeof v1_signature)) {
            return invalid(out, "not a PROXY header");
        }
        if (size <= sizeof v1_signature) return need(out, 1);
        return parse_v1(data, size, out);
    }
    if (!matches_prefix(data, size, v2_signature, sizeof v2_signature)) {
        return invalid(out, "not a PROXY header");
    }
    return parse_v2(data, size, out);
}

bool starts_with_proxy_signature(const unsigned char* data, std::size_t size) {
    return (size >= sizeof v1_signature &&
            std::memcmp(data, v1_signature, sizeof v1_signature) == 0) ||
           (size >= sizeof v2_signature &&
            std::memcmp(data, v2_signature, sizeof v2_signature) == 0);
}

}  // namespace tollmar::channel
