// tollmar-passwd: prints one line of the authentication file for a login.
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "tools/passwd_line.hpp"

namespace {

using namespace tollmar::tools;

// Distinct statuses, so that a script can tell why no line was written.
constexpr int status_usage = 1;
constexpr int status_field_refused = 2;
constexpr int status_password_refused = 3;
constexpr int status_no_password = 4;
constexpr int status_output_failed = 5;

// Room for the longest password the server could check and one more
// character, so that a longer one is recognised as too long.
constexpr std::size_t password_room = longest_digested_pair + 2;

// The terminal settings to restore; saved before echo goes off.
struct termios saved_terminal;
volatile std::sig_atomic_t echo_is_off = 0;

void print_usage(std::FILE* to) {
    std::fprintf(to,
                 "Usage: tollmar-passwd <login> <account> <maildrop>\n"
                 "Print a line of the tollmar authentication file (tollmar -a).\n"
                 "\n"
                 "The password is asked for twice without echo when standard input is a\n"
                 "terminal; otherwise the first line of standard input is the password.\n"
                 "The line login:MD5-<digest>:account:maildrop goes to standard output.\n"
                 "\n"
                 "  <login>     name the client gives with USER\n"
                 "  <account>   system account the session runs as\n"
                 "  <maildrop>  absolute path of the account's mbox\n"
                 "  -h          this help\n"
                 "\n"
                 "Exit status: 0 line written, 1 usage, 2 login, account or maildrop\n"
                 "refused, 3 password refused or retyped differently, 4 no password read,\n"
                 "5 the line could not be written.\n");
}

void restore_terminal() {
    if (echo_is_off) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
        echo_is_off = 0;
    }
}

// Puts echo back before the signal ends the program; tcsetattr, sigaction
// and raise are async-signal-safe.
void on_fatal_signal(int sig) {
    if (echo_is_off) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
    raise(sig);
}

bool echo_off() {
    if (tcgetattr(STDIN_FILENO, &saved_terminal) != 0) return false;
    struct sigaction sa {};
    sa.sa_handler = on_fatal_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) sigaction(sig, &sa, nullptr);
    struct termios quiet = saved_terminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;  // the user still sees the Enter key taken
    echo_is_off = 1;
    return tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
}

// Reads one line (its line feed removed) into buffer. Returns its length,
// password_room when the line is longer than the buffer can tell apart, or
// -1 when the input ended before any character or failed.
long read_line(char* buffer) {
    std::size_t length = 0;
    bool any = false;
    for (;;) {
        const int c = std::getc(stdin);
        if (c == EOF) {
            if (std::ferror(stdin) || !any) return -1;
            break;
        }
        any = true;
        if (c == '\n') break;
        if (length < password_room) buffer[length++] = static_cast<char>(c);
    }
    return static_cast<long>(length);
}

long ask(const char* prompt, char* buffer) {
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    return read_line(buffer);
}

int fail_field(const line_check& check, int status) {
    std::fprintf(stderr, "tollmar-passwd: ");
    if (check.field != nullptr) std::fprintf(stderr, "%s ", check.field);
    std::fprintf(stderr, "%s\n", problem_text(check.problem));
    return status;
}

int run(const char* login, const char* account, const char* maildrop) {
    line_fields fields{login, "x", account, maildrop};
    // Field problems are reported before anyone types a password.
    const line_check early = check_line_fields(fields);
    if (early.problem != line_problem::none) return fail_field(early, status_field_refused);

    static char first[password_room];
    static char second[password_room];
    long length;
    if (isatty(STDIN_FILENO)) {
        if (!echo_off()) {
            restore_terminal();
            std::perror("tollmar-passwd: terminal");
            return status_no_password;
        }
        length = ask("Password: ", first);
        const long again = length < 0 ? -1 : ask("Retype password: ", second);
        restore_terminal();
        if (again < 0) {
            std::fprintf(stderr, "tollmar-passwd: no password read\n");
            return status_no_password;
        }
        if (again != length || std::memcmp(first, second, static_cast<std::size_t>(length)) != 0) {
            explicit_bzero(first, sizeof first);
            explicit_bzero(second, sizeof second);
            std::fprintf(stderr, "tollmar-passwd: the passwords differ\n");
            return status_password_refused;
        }
        explicit_bzero(second, sizeof second);
    } else {
        length = read_line(first);
        if (length < 0) {
            std::fprintf(stderr, "tollmar-passwd: no password read from standard input\n");
            return status_no_password;
        }
    }

    fields.password = std::string_view(first, static_cast<std::size_t>(length));
    line_check check;
    std::string line = build_line(fields, check);
    explicit_bzero(first, sizeof first);
    if (check.problem != line_problem::none)
        return fail_field(check, check.problem == line_problem::line_too_long
                                     ? status_field_refused
                                     : status_password_refused);
    std::printf("%s\n", line.c_str());
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : status_output_failed;
}

}  // namespace

int main(int argc, char** argv) {
    int opt;
    while ((opt = getopt(argc, argv, "+h")) != -1) {
        if (opt == 'h') {
            print_usage(stdout);
            return 0;
        }
        print_usage(stderr);
        return status_usage;
    }
    if (argc - optind != 3) {
        print_usage(stderr);
        return status_usage;
    }
    return run(argv[optind], argv[optind + 1], argv[optind + 2]);
}
