#include "server/settings.hpp"

namespace tollmar::server {

server_settings settings;

namespace {
int tls_mode = 0;
}

void set_tls_mode(int mode) {
    tls_mode = mode;
}
int get_tls_mode() {
    return tls_mode;
}

}  // namespace tollmar::server
