// The system calls a jailed process (pre-login, then TLS relay) may make: an
// allow-list of what the dialogue, the TLS handshake and the relay need on
// descriptors they already hold. Everything else fails with EPERM: no
// process, file or socket is opened, no signal reaches another process
// (kill, tkill, tgkill other than to itself, pidfd), no process is traced or
// its memory read. Since the filter stops a jailed process from signalling
// or tracing any other, every jailed process may run as one account.
#pragma once

namespace tollmar::session {

// Installs the filter in this process (no-new-privileges must be set); it
// stays for the life of the process. false with *why and errno set when the
// kernel refuses it.
bool install_syscall_filter(const char** why);

}  // namespace tollmar::session
