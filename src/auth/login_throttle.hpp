// Slower logins after refused ones, per client address, shared by every
// connection process.
//
// The listener creates a small table in shared anonymous memory before its
// first fork; connection processes read it before their verdict and record
// the verdict in it. An address with recent refusals waits the base delay
// (settings.login_delay) after its first refusal, twice that after the
// second, and so on up to 15 seconds (or the base, if larger); a login from
// it that is accepted clears its entry, and so do five minutes without a
// refusal. The table has a fixed number of entries: when it is full the entry
// refused longest ago is reused, so a flood from many addresses costs memory
// only once.
#pragma once
#include <cstdint>

namespace tollmar::auth {

// Maps and initialises the table; false (after logging) when that fails, and
// logins are then never delayed. Does nothing when login_delay is 0.
[[nodiscard]] bool init_login_throttle();

// Unmaps the table (tests).
void end_login_throttle();

// Drops this process's view of the table without touching it, for a process
// that must never reach it (the jailed pre-login process): whatever runs
// there cannot hold the table's lock and stall the logins of others.
void detach_login_throttle();

// The milliseconds a login from address must wait at now_ms (a monotonic
// time) before its verdict; 0 when none, or without a table.
std::int64_t login_delay_ms(const char* address, std::int64_t now_ms);

// Records the verdict of a login from address at now_ms.
void record_login(const char* address, bool accepted, std::int64_t now_ms);

}  // namespace tollmar::auth
