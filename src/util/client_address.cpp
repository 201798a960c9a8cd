#include "util/client_address.hpp"

#include "util/strlcpy.hpp"

namespace tollmar::util {

namespace {

char address_text[client_address_size] = "(unknown)";

}  // namespace

const char* client_address() {
    return address_text;
}

void set_client_address(const char* text) {
    strlcpy(address_text, text != nullptr ? text : "(unknown)", sizeof address_text);
}

}  // namespace tollmar::util
