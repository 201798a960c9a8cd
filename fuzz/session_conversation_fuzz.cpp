// A client's bytes through a whole conversation: the authorization phase
// against an authentication file, then the transaction phase against a real
// maildrop scanned into spool files in a temporary folder, QUIT and its
// rewrite included.
//
// The session ends its process on most paths (QUIT before login, a refused
// login, end of input), so each input runs in a forked child and the parent
// judges how it ended: a normal exit is fine, a sanitizer report or a signal
// is a crash, which the parent turns into its own abort so that libFuzzer
// keeps the input. The child's coverage does not reach the parent, so the
// seed corpus (fuzz/corpus/session_conversation) carries whole conversations
// for the mutations to start from.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "channel/line_io.hpp"
#include "config/settings.hpp"
#include "maildrop/maildrop_path.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/update.hpp"
#include "session/monitor.hpp"
#include "session/phases.hpp"
#include "util/log.hpp"

extern "C" void __sanitizer_set_death_callback(void (*callback)());

namespace {

constexpr int crashed_status = 97;
// Inputs beyond what the socket buffer takes at once would need a writer
// running beside the child; conversations this long add nothing.
constexpr std::size_t longest_input = 64 * 1024;

constexpr char maildrop_text[] =
    "From a@example.org Thu Dec 10 09:00:00 2026\n"
    "Subject: one\n\nfirst body\n.dotted line\n\n"
    "From b@example.org Thu Dec 10 09:01:00 2026\n"
    "Subject: two\r\n\r\nsecond body without final newline";

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

// With SESSION_FUZZ_TRACE set, the child's log lines go to standard error
// (to see how far an input gets); otherwise none reaches the host's syslog.
void trace_line(int, const char* line) {
    std::fprintf(stderr, "session_fuzz: %s\n", line);
}

void died_in_child() {
    _exit(crashed_status);
}

// Registered before the maildrop clean-up, so it runs after it: ends the
// child before libFuzzer's own at-exit check would call the exit a failure.
void leave_child() {
    _exit(0);
}

[[noreturn]] void converse(int fd) {
    using namespace tollmar;
    __sanitizer_set_death_callback(died_in_child);
    std::atexit(leave_child);
    std::atexit(maildrop::cleanup_at_exit);
    setlogmask(LOG_MASK(LOG_EMERG));  // a level nothing here logs at
    if (std::getenv("SESSION_FUZZ_TRACE") != nullptr) util::log_observer = trace_line;
    config::settings.auth_file = auth_file;
    config::settings.io_timeout = 5;
    config::settings.login_deadline = 0;
    write_file(mbox, maildrop_text);

    channel::send_text(fd, "+OK\r\n");
    char command_line[session::command_buffer_size];
    char login_name[session::command_buffer_size + 1];
    session::authorize(fd, command_line, login_name, [](const char* name, const char* password) {
        return session::root_verdict(name, password).verdict;
    });
    // The maildrop phase without its change of identity and dot-lock, which
    // need root and add nothing a client's bytes can reach.
    maildrop::remember_maildrop_path(mbox);
    if (!maildrop::scan_maildrop(mbox, spool)) std::abort();
    channel::send_text(fd, "+OK\r\n");
    session::command_loop(fd, command_line);
    std::exit(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > longest_input) return 0;
    set_up();
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::abort();
    const int buffer = 2 * longest_input;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (size > 0 && write(pair[1], data, size) != static_cast<ssize_t>(size)) std::abort();
    shutdown(pair[1], SHUT_WR);

    const pid_t child = fork();
    if (child < 0) std::abort();
    if (child == 0) {
        close(pair[1]);
        converse(pair[0]);
    }
    close(pair[0]);
    // Replies are read and dropped, so that a long one never blocks the child.
    // libFuzzer's timer signal interrupts both waits here: an interrupted
    // read must not look like the end of the replies.
    static char replies[65536];
    ssize_t n;
    while ((n = read(pair[1], replies, sizeof replies)) > 0 || (n < 0 && errno == EINTR)) {
    }
    close(pair[1]);
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    }
    if (reaped != child) std::abort();
    if (WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == crashed_status)) {
        std::fprintf(stderr, "session_fuzz: the conversation ended by %s %d\n",
                     WIFSIGNALED(status) ? "signal" : "status",
                     WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
        std::abort();
    }
    return 0;
}
