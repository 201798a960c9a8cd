// The address of the client that this connection process serves, as text.
// The listener sets it from the accepted peer before the session starts;
// every line that names the client, and every table keyed by client, reads it
// from here so that they all agree on one form.
#pragma once
#include <cstddef>

namespace tollmar::util {

// Room for the longest IPv6 text form and its terminator.
inline constexpr std::size_t client_address_size = 46;

// "(unknown)" until set_client_address is called.
const char* client_address();

// Copies text (cut to client_address_size - 1 characters).
void set_client_address(const char* text);

}  // namespace tollmar::util
