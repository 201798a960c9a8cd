// The messages between the root connection process and its pre-login
// process, over their socket pair, in the project's one encoding
// (util/codec.hpp). Each is a fixed header (type, body length, 32 bits each)
// and a body. The reader checks the type and the length against that type's bound
// before it reads the body, and every decoder checks the body field by field:
// the root side treats the pre-login process as hostile.
//
//   pre-login -> root   log       priority (int32, 0..7), text (no NUL)
//   pre-login -> root   login     name length, password length (uint32 each),
//                                 name, password (no NUL, CR or LF in either)
//   root -> pre-login   verdict   login_verdict (int32, -1, 0 or 1)
//   pre-login -> root   handover  command bytes already read from the client,
//                                 on a plain connection
//   pre-login -> root   handover_tls  the same, on a connection that speaks
//                                 TLS (-s, or since STLS)
//
// After handover the socket pair carries the session's plain text (TLS) or
// nothing more (plain TCP: the root process has the client socket).
#pragma once
#include <cstddef>
#include <cstdint>

#include "auth/credentials.hpp"
#include "channel/line_io.hpp"
#include "util/log.hpp"

namespace tollmar::session {

enum message_type : std::uint32_t {
    message_log = 1,
    message_login = 2,
    message_verdict = 3,
    message_handover = 4,
    message_handover_tls = 5,
};

inline constexpr std::size_t message_header_size = 8;
inline constexpr std::size_t verdict_body_size = 4;
inline constexpr std::size_t login_body_max = 8 + 2 * auth::longest_credential;
inline constexpr std::size_t log_body_max = 4 + util::log_line_size;
inline constexpr std::size_t message_body_max =
    login_body_max > log_body_max ? login_body_max : log_body_max;

// The largest body a message of this type may have; 0 for an unknown type.
std::size_t message_body_limit(std::uint32_t type);

struct message {
    std::uint32_t type;
    std::uint32_t length;
    unsigned char body[message_body_max];
};

enum class read_status { complete, ended, malformed };

// Reads one whole message, never a byte past it. ended: the peer closed before
// the first byte. malformed: a short message, an unknown type or a length over
// the type's bound; *why names the fault. Interrupted reads act on recorded
// signals and go on.
read_status read_message(int fd, message& out, const char** why);

// Checks a header given as bytes (for tests and read_message).
bool check_header(const unsigned char* header, message& out, const char** why);

// Header and body in one write; false when the peer is gone.
bool write_message(int fd, std::uint32_t type, const void* body, std::size_t length);

struct login_request {
    char name[auth::longest_credential + 1];
    char password[auth::longest_credential + 1];
};

// The decoders: true when the body is well formed, to its last byte; else
// *why says what is not.
bool decode_login(const message& in, login_request& out, const char** why);
bool decode_verdict(const message& in, auth::login_verdict& out, const char** why);
bool decode_log(const message& in, int& priority, char* text,
                const char** why);                          // text: log_line_size
bool decode_handover(const message& in, const char** why);  // bytes: in.body, in.length

// Encoders of the structured bodies; return the body length (0: does not fit).
std::size_t encode_login(const char* name, const char* password, unsigned char* body);
std::size_t encode_log(int priority, const char* text, unsigned char* body);
std::size_t encode_verdict(auth::login_verdict verdict, unsigned char* body);

}  // namespace tollmar::session
