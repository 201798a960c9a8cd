// The one clock for timeouts, deadlines and the shared tables' ages.
#pragma once
#include <cstdint>

namespace tollmar::util {

// Milliseconds on a clock that never jumps (CLOCK_MONOTONIC): the same in
// every process of the host, so that times written into a shared table by
// one process can be compared by another.
std::int64_t monotonic_ms();

}  // namespace tollmar::util
