// The listener's count of live connection processes, per client address and
// in total, and the refusal of a connection over either limit.
//
// The SIGCHLD handler only records that a child ended; the listener reaps in
// normal context (before each accept and right after it), so the table is
// never changed by a signal handler and a count is never stale when a new
// connection is judged.
#pragma once
#include <sys/types.h>

#include <cstdint>

namespace tollmar::server {

// Sizes the table for settings.connection_limit processes; called once by the
// listener before its first fork (and by tests to start afresh).
void init_connection_limits();

// SIGCHLD handler of the listener: records that a child ended.
void note_child_ended(int sig);

// When a child ended since the last call: reaps every ended child without
// blocking and drops each from the table.
void reap_ended_connections();

// Drops pid from the table (a reaped child).
void forget_connection(pid_t pid);

enum class admission { admitted, address_full, total_full };

// Whether a connection from address may be served now; with only_total (a
// trusted proxy, which carries many clients) the per-address limit is not
// applied.
admission admit_connection(const char* address, bool only_total = false);

// Enters a forked connection process into the table.
void record_connection(pid_t pid, const char* address);

// Refuses a connection at once without a session process, never blocking:
// over plain TCP "-ERR [SYS/TEMP] too many connections" is sent if the socket
// takes it, over TLS nothing; then the socket is closed. Logs through
// report_refusal.
void refuse_connection(int fd, const char* address, admission why);

// Logs a refusal from address without flooding: the first refusal from an
// address, then at most one line per address a minute, which counts the
// refusals not reported in between. now_ms is a monotonic time.
void report_refusal(const char* address, admission why, std::int64_t now_ms);

}  // namespace tollmar::server
