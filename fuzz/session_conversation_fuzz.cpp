// A client's bytes through a whole conversation: the authorization phase
// against an authentication file, then the transaction phase against a real
// maildrop scanned into spool files in a temporary folder, QUIT and its
// rewrite included.
//
// In process, so that the fuzzer sees the coverage of the command parser and
// the commands: the session ends its process on most paths (QUIT before
// login, a refused login, end of input, a timeout), so this target is linked
// with exit wrapped (-Wl,--wrap=exit): an exit during a conversation jumps
// back here instead, and what the process's exit would have done is done per
// input: the maildrop's clean-up (spool files, message table), the reader and
// the writer emptied, the descriptors the conversation opened closed (an exit
// skips their destructors). Replies are drained by a thread, so that no
// reply ever waits for room in the socket.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "channel/line_io.hpp"
#include "config/settings.hpp"
#include "maildrop/mailbox.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/update.hpp"
#include "session/commands.hpp"
#include "session/drop.hpp"
#include "session/monitor.hpp"
#include "session/phases.hpp"
#include "util/log.hpp"

extern "C" [[noreturn]] void __real_exit(int status);

namespace {

// Inputs beyond this add nothing a shorter conversation does not reach.
constexpr std::size_t longest_input = 64 * 1024;

constexpr char maildrop_text[] =
    "From a@example.org Thu Dec 10 09:00:00 2026\n"
    "Subject: one\n\nfirst body\n.dotted line\n\n"
    "From b@example.org Thu Dec 10 09:01:00 2026\n"
    "Subject: two\r\n\r\nsecond body without final newline";

// Where an exit during a conversation returns to.
std::jmp_buf conversation_end;
volatile bool in_conversation = false;

char folder[4096];
char spool[4200];
char mbox[4200];
char auth_file[4200];

void write_file(const char* path, const char* text) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const auto length = static_cast<ssize_t>(std::strlen(text));
    if (fd < 0 || write(fd, text, static_cast<std::size_t>(length)) != length) std::abort();
    close(fd);
}

void set_up() {
    if (folder[0] != '\0') return;
    // Under $TMPDIR when set, so that the runner can remove it afterwards.
    const char* tmp = std::getenv("TMPDIR");
    std::snprintf(folder, sizeof folder, "%s/session_fuzz_XXXXXX", tmp != nullptr ? tmp : "/tmp");
    if (mkdtemp(folder) == nullptr) std::abort();
    std::snprintf(spool, sizeof spool, "%s/spool", folder);
    std::snprintf(mbox, sizeof mbox, "%s/mbox", folder);
    std::snprintf(auth_file, sizeof auth_file, "%s/users", folder);
    if (mkdir(spool, 0700) != 0) std::abort();
    // One clear and one digest entry (password "pw" for both).
    write_file(auth_file,
               "fuzz:pw:nobody:/unused\n"
               "md5:MD5-77e76520e3aeb3a0f3aaede615eec33f:nobody:/unused\n");
}

// With SESSION_FUZZ_TRACE set, the log lines go to standard error (to see
// how far an input gets); otherwise none reaches the host's syslog.
void trace_line(int, const char* line) {
    std::fprintf(stderr, "session_fuzz: %s\n", line);
}

void converse(int fd) {
    using namespace tollmar;
    write_file(mbox, maildrop_text);
    channel::send_text(fd, "+OK\r\n");
    char command_line[session::command_buffer_size];
    char login_name[session::command_buffer_size + 1];
    session::authorize(fd, command_line, login_name, [](const char* name, const char* password) {
        return session::root_verdict(name, password).verdict;
    });
    // The maildrop phase without its change of identity and dot-lock, which
    // need root and add nothing a client's bytes can reach.
    maildrop::name_mailbox(session::drop, mbox);
    if (!maildrop::scan_mailbox(session::drop, spool)) std::abort();
    channel::send_text(fd, "+OK\r\n");
    session::command_loop(fd, command_line);
}

// What the end of the session's process would have done, for the next input.
void reset_session() {
    using namespace tollmar;
    maildrop::close_mailbox(session::drop);
    session::maildrop_dirty = false;
    channel::reset_reader();
    channel::reset_writer();
}

}  // namespace

extern "C" [[noreturn]] void __wrap_exit(int status) {
    if (in_conversation) {
        in_conversation = false;
        std::longjmp(conversation_end, 1);
    }
    __real_exit(status);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    using namespace tollmar;
    set_up();
    setlogmask(LOG_MASK(LOG_EMERG));  // a level nothing here logs at
    if (std::getenv("SESSION_FUZZ_TRACE") != nullptr) util::log_observer = trace_line;
    config::settings.auth_file = auth_file;
    config::settings.io_timeout = 5;
    config::settings.login_deadline = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > longest_input) return 0;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::abort();
    // Every descriptor from here on is the conversation's.
    const int first_fd = pair[0] < pair[1] ? pair[0] : pair[1];
    const int buffer = 2 * longest_input;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (size > 0 && write(pair[1], data, size) != static_cast<ssize_t>(size)) std::abort();
    shutdown(pair[1], SHUT_WR);
    // Replies are read and dropped as they come. libFuzzer's timer signal
    // may interrupt the read: that is not the end of the replies.
    std::thread drain([client = pair[1]] {
        static char replies[65536];
        ssize_t n;
        while ((n = read(client, replies, sizeof replies)) > 0 || (n < 0 && errno == EINTR)) {
        }
    });
    if (setjmp(conversation_end) == 0) {
        in_conversation = true;
        converse(pair[0]);
        in_conversation = false;
    }
    reset_session();
    shutdown(pair[0], SHUT_RDWR);
    drain.join();
    close_range(static_cast<unsigned>(first_fd), ~0U, 0);
    return 0;
}
