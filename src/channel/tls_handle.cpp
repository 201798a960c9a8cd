// The TLS connection object of this process's one connection.
#include "channel/tls_handle.hpp"

#include <poll.h>

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

bool tls_active() {
    return tls_handle != nullptr;
}

short tls_wait_events(SSL* handle, int result) {
    switch (SSL_get_error(handle, result)) {
        case SSL_ERROR_WANT_READ:
            return POLLIN;
        case SSL_ERROR_WANT_WRITE:
            return POLLOUT;
        default:
            return 0;
    }
}

}  // namespace tollmar::channel
