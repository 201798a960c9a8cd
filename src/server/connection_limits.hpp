// The count of live connection processes, per client address and in total,
// and the refusal of a connection over either limit. A client is counted
// under its key (util::peer_key: an IPv6 client under its prefix), and every
// address parameter below is such a key.
//
// The table lives in shared anonymous memory that the listener maps before
// its first fork, so that a connection process can see it too: a connection
// from a trusted proxy is admitted by the listener on the total alone (the
// proxy carries many clients), and its process, once the PROXY header has
// named the real client, re-keys its own slot to that client and applies the
// per-address limit itself. Without a listener (inetd mode) there is no table
// and no limit.
//
// The listener alone takes and frees slots: it claims one before each fork,
// records the child's pid in it after, and frees it when the child is reaped.
// The SIGCHLD handler only records that a child ended; the listener reaps in
// normal context (before each accept and right after it), so the table is
// never changed by a signal handler and a count is never stale when a new
// connection is judged. Every change is made under a robust process-shared
// mutex held only for a scan of the table: a connection process killed while
// holding it leaves the mutex to the next taker (EOWNERDEAD), which repairs
// the table, so the listener is never wedged by one.
#pragma once
#include <sys/types.h>

#include <cstdint>

namespace tollmar::server {

// Maps the table for settings.connection_limit processes (unmapping an
// earlier one); called once by the listener before its first fork (and by
// tests to start afresh). When the memory cannot be had it logs and ends the
// process with status 1.
void init_connection_limits();

// Unmaps the table in this process. A connection process calls it once its
// slot is keyed, so that the processes it forks for the session (the
// pre-login one included) never hold the listener's table; tests call it to
// end.
void leave_connection_table();

// Frees the slot of pid (a reaped child).
void forget_connection(pid_t pid);

enum class admission { admitted, address_full, total_full };

// Whether a connection from address may be served now; with only_total (a
// trusted proxy, which carries many clients) the per-address limit is not
// applied.
admission admit_connection(const char* address, bool only_total = false);

// In the listener, for an admitted connection about to be forked: takes a
// free slot for address and makes it this process's own slot, which the
// forked child inherits. With via_proxy the slot counts in the total only
// until its process re-keys it. False when the table is full.
bool claim_connection_slot(const char* address, bool via_proxy);

// Puts the pid of the child forked for the claimed slot into it; with pid
// -1 (the fork failed) frees the slot instead.
void record_connection(pid_t pid);

// In a connection process whose PROXY header named a client: makes address
// the key of its own slot and judges it against the per-address limit,
// counting itself. A refused slot no longer counts for the address (only in
// the total, until the process is reaped). admitted without a table or slot.
admission rekey_own_connection(const char* address);

// Refuses a connection at once without a session process, never blocking:
// over plain TCP "-ERR [SYS/TEMP] too many connections" is sent if the socket
// takes it, over TLS nothing; then the socket is closed. Logs through
// report_refusal.
void refuse_connection(int fd, const char* address, admission why);

// Logs a refusal from address without flooding: the first refusal from an
// address, then at most one line per address a minute, which counts the
// refusals not reported in between. now_ms is a monotonic time. The report
// state is in the shared table (when there is one), so the listener's
// refusals and those of connection processes are counted together.
void report_refusal(const char* address, admission why, std::int64_t now_ms);

// The table's mutex, taken as every function above takes it; true when held
// (after repairing the table when its last holder died with it). For tests
// that need a process to hold it.
bool lock_connection_table();
void unlock_connection_table();

}  // namespace tollmar::server
