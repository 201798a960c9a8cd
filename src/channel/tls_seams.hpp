// What tests of the session tickets change or need to know; production code
// leaves the clock at its default. Nothing outside the channel and its tests
// includes this header.
#pragma once
#include <cstdint>

namespace tollmar::channel::detail {

// Seconds a ticket key issues tickets; it opens them for as long again, and
// a ticket's lifetime is the same.
inline constexpr std::int64_t ticket_key_lifetime_s = 3600;

// The clock the listener rotates the ticket keys by (util::monotonic_ms).
extern std::int64_t (*ticket_clock_ms)();

}  // namespace tollmar::channel::detail
