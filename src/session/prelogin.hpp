// The pre-login process: everything a connection does before the verdict on
// its login, run without rights so that no root code parses a client's bytes.
#pragma once

namespace tollmar::session {

// Looks up prelogin_user once (the listener does it at start, so that no
// connection pays for the account look-up); false with *why and errno set for
// an unknown account or root.
bool resolve_prelogin_user(const char** why);

// Chroots into the empty prelogin_root, drops every group, switches for good
// to prelogin_user (setuid(0) must fail afterwards), sets no-new-privileges and
// lowers its limits: no new processes, no file writes, few descriptors, no
// core dump. false (with *why naming the step and errno set) when a step
// fails; the process must then end.
bool enter_prelogin_jail(const char** why);

// The body of the pre-login process, forked by the root connection process:
// enters the jail, does the TLS handshake when -s is on, greets, runs the
// authorization dialogue and asks root_fd for the verdict. After an accepted
// login it hands root_fd the command bytes it has already read; then it ends
// (plain TCP: the root process serves the client socket itself) or relays
// between the TLS connection and root_fd until either side ends.
[[noreturn]] void run_prelogin(int client_fd, int root_fd);

}  // namespace tollmar::session
