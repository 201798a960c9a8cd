// Slower logins after refused ones, per client and per login name, shared by
// every connection process.
//
// Two tables of one kind: one keyed by the client (its address, an IPv6
// client by its prefix: util::peer_key), one by the login name. A key with
// recent refusals waits the base delay (settings.login_delay) after its first
// refusal, twice that after the second, and so on up to 15 seconds (or the
// base, if larger); a login waits the longer of its client's and its name's
// delay, before its verdict whatever that will be. An accepted login clears
// its client's entry, not its name's: while a name is being guessed from
// elsewhere its owner waits too, at most the longest delay, and is never
// locked out. Five minutes without a refusal clear an entry.
//
// Each table is split into buckets of a few entries; a key's bucket is chosen
// by a keyed hash (SipHash) with a secret made when the table is, so that
// nobody can aim keys at the bucket of another. In a full bucket the entry
// with the fewest refusals (of those, the one refused longest ago) is reused:
// a flood of one-off refusals does not push out a key with many.
#pragma once
#include <cstdint>

namespace tollmar::auth {

// Maps and initialises the tables: in memory that the processes forked after
// share (shared_file nullptr: the listener before its first fork), or in the
// file shared_file, made when missing, which processes that share no parent
// map (inetd mode). False (after logging) when that fails, and logins are
// then never delayed. Does nothing when login_delay is 0.
[[nodiscard]] bool init_login_throttle(const char* shared_file = nullptr);

// Unmaps the tables in this process only; the others keep theirs. For a
// process that must never reach them (the jailed pre-login process: whatever
// runs there cannot hold the lock and stall the logins of others; the session
// once the verdict is in), and for tests.
void end_login_throttle();

// The milliseconds a login from client for name must wait at now_ms (a
// monotonic time) before its verdict; 0 when none, or without the tables.
std::int64_t login_delay_ms(const char* client, const char* name, std::int64_t now_ms);

// Records the verdict of a login from client for name at now_ms.
void record_login(const char* client, const char* name, bool accepted, std::int64_t now_ms);

// The tables' mutex, taken as every function above takes it; true when held
// (after repairing the tables when its last holder died with it). For tests
// that need a process to hold it.
bool lock_login_throttle();
void unlock_login_throttle();

}  // namespace tollmar::auth
