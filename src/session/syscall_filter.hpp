// The system calls a jailed process (pre-login, then TLS relay) may make: an
// allow-list of what the dialogue, the TLS handshake and the relay need on
// descriptors they already hold. Everything else fails with EPERM: no
// process, file or socket is opened, no signal reaches another process
// (kill, tkill, tgkill, pidfd), no process is traced or its memory read.
// Since the filter stops a jailed process from signalling or tracing any
// other, every jailed process may run as one account.
#pragma once

namespace tollmar::session {

// Compiles the filters (the jail's and the session's) once, in the listener
// before its first fork, so that a connection only loads them. false with *why and errno set when
// libseccomp cannot build it.
bool prepare_syscall_filter(const char** why);

// Installs the filter in this process (no-new-privileges must be set),
// compiling it first when prepare_syscall_filter has not; it stays for the
// life of the process. false with *why and errno set when the kernel refuses.
bool install_syscall_filter(const char** why);

// The session's filter, installed once it is confined (see confinement.hpp),
// before its first command: the jail's list and what the command loop, the
// rewrite and the session's end need on files (where Landlock lets them
// reach), a unix socket for the log, and kill only with signal 0. Same terms
// as install_syscall_filter.
bool install_session_filter(const char** why);

}  // namespace tollmar::session
