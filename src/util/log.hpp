// The one logging path of every subsystem: syslog (ident and facility set by
// open_log), optionally a copy on standard error, and a hook for tests.
#pragma once
#include <syslog.h>  // the LOG_* priorities

namespace tollmar::util {

// Room for one formatted line, its terminating NUL included; longer text is cut.
inline constexpr unsigned long log_line_size = 9000;  // two full paths and a reason

// openlog with LOG_PID and facility mail. With copy_to_stderr every line is
// also written to standard error as "tollmar[<pid>]: <text>", for a server
// running in the foreground on a machine without a syslog daemon.
void open_log(const char* ident, bool copy_to_stderr);

// Formats one line into a fixed buffer (longer text is cut) and hands it to
// syslog, to standard error when asked to, and to log_observer.
void log_line(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// When set, every line goes to this function instead of syslog and standard
// error: the chrooted pre-login process hands its lines to the root process,
// which writes them under its own pid. nullptr: write them here.
extern void (*log_forwarder)(int priority, const char* line);

// Sees every line logged, after it went to syslog; nullptr: nobody.
extern void (*log_observer)(int priority, const char* line);

}  // namespace tollmar::util
