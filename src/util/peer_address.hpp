// Peer addresses as text, and the process-wide client address of a connection
// process: the socket's peer, or the client a trusted proxy names in its
// PROXY header. Every line that names the client uses it.
#pragma once
#include <netinet/in.h>
#include <sys/socket.h>

namespace tollmar::util {

// Room for any address text peer_text writes, with its NUL.
inline constexpr unsigned peer_host_size = INET6_ADDRSTRLEN + 1;

// Text form of a peer address for "Connection from %s:%u": IPv4 and
// IPv4-mapped IPv6 peers as a dotted quad, other IPv6 peers in their usual
// text form. Fills host (at least 46 bytes) and returns the port in host order.
unsigned peer_text(const struct sockaddr_storage& peer, char* host, unsigned host_size);

// Room for any key peer_key writes, with its NUL.
inline constexpr unsigned peer_key_size = INET6_ADDRSTRLEN + 5;

// The text under which the connection limits, the login throttle and the
// refusal reports count a peer: an IPv4 address (an IPv4-mapped one too) as
// itself; an IPv6 address as its prefix of v6_bits bits ("2001:db8:1:2::/64"),
// since every IPv6 client holds at least a /64 and may use any address in it;
// with v6_bits 128, the address itself. Fills key (at least peer_key_size).
void peer_key(const struct sockaddr_storage& peer, unsigned v6_bits, char* key, unsigned key_size);

// The client of this connection process; unset (family AF_UNSPEC, host
// "(unknown)", port 0) in the listener.
void set_client_address(const struct sockaddr_storage& address);
const struct sockaddr_storage& client_address();
const char* client_host();
unsigned client_port();
// peer_key of the client; the same buffer on every call.
const char* client_key(unsigned v6_bits);

}  // namespace tollmar::util
