// The PROXY protocol (versions 1 and 2) that a TCP proxy such as HAProxy
// sends before the client's first byte, naming the client it relays.
//
// The header is read exactly: never a byte past its end, since the client's
// own bytes follow at once (with TLS, its ClientHello). Everything in it is
// checked strictly; a header that is not exactly right is refused.
#pragma once
#include <sys/socket.h>

#include <cstddef>

namespace tollmar::channel {

// A version 1 header is one line of at most 107 bytes with its CR LF; a
// version 2 header is 16 bytes and at most 65535 more.
inline constexpr std::size_t proxy_v1_max = 107;
inline constexpr std::size_t proxy_v2_fixed = 16;
inline constexpr std::size_t proxy_max = proxy_v2_fixed + 65535;

enum class proxy_parse { complete, need_more, invalid };

struct proxy_header {
    std::size_t length = 0;  // complete: the header's bytes
    std::size_t wanted = 0;  // need_more: how many bytes may be read next, at most
    int version = 0;
    // false for a proxy speaking for itself (v2 LOCAL, as in health checks),
    // v1 UNKNOWN, or a v2 family without an IP address (UNSPEC, UNIX): the
    // connection's own peer then stands.
    bool has_client = false;
    const char* kind = "";              // "TCP4", "TCP6", "LOCAL", "UNKNOWN", "UNSPEC", "UNIX"
    struct sockaddr_storage client {};  // the source the proxy names
    struct sockaddr_storage target {};  // the address the client connected to
    const char* problem = nullptr;      // invalid: why
};

// Looks at the first `size` bytes of a connection. complete: a whole, valid
// header of out->length bytes (bytes after it are not looked at). need_more:
// a valid beginning; out->wanted more bytes may be read without reading past
// the header. invalid: out->problem says why.
proxy_parse parse_proxy_header(const unsigned char* data, std::size_t size, proxy_header* out);

// True when the bytes begin with a whole PROXY signature ("PROXY " or the
// 12-byte version 2 signature).
bool starts_with_proxy_signature(const unsigned char* data, std::size_t size);

enum class proxy_read { header, closed_at_once, failed };

// Reads one header from a trusted proxy within io_timeout seconds in total.
// header: *out is filled. closed_at_once: the proxy closed without a byte (a
// plain TCP health check). failed: *problem says why (also for a malformed
// header).
proxy_read read_proxy_header(int fd, proxy_header* out, const char** problem);

// For a connection that is not from a trusted proxy: the first bytes the
// client sends are checked, and a PROXY signature among them ends the
// process with status 1 and a log line naming the client. Over plain TCP the
// first read does it; with TLS the handshake looks first.
void refuse_stray_proxy_headers();

}  // namespace tollmar::channel
