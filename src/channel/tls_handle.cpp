// The TLS connection object of this process's one connection.
#include "channel/line_io.hpp"

namespace tollmar::channel {

namespace {
SSL* tls_handle = nullptr;
}

void set_tls_handle(SSL* handle) {
    tls_handle = handle;
}
SSL* get_tls_handle() {
    return tls_handle;
}

}  // namespace tollmar::channel
