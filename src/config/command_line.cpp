#include "config/command_line.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/settings.hpp"
#include "config/version.hpp"

namespace tollmar::config {

namespace {

// A command line the server cannot start with: the operator reads why on
// standard error (the log is not open yet), and the exit status is 1.
[[noreturn]] __attribute__((format(printf, 2, 3))) void refuse_command_line(
    const char* program_name, const char* format, ...) {
    va_list args;
    va_start(args, format);
    // No buffer of our own: an argument may be a path of any length.
    std::fprintf(stderr, "%s: ", program_name);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::exit(1);
}

// -m must name an existing directory; it is stored with a trailing "/".
void set_mail_spool_dir(const char* program_name, const char* dir) {
    struct stat st;
    if (stat(dir, &st) != 0) {
        refuse_command_line(program_name, "%s: %s", dir, std::strerror(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        refuse_command_line(program_name, "%s is not a directory", dir);
    }
    const std::size_t len = std::strlen(dir);
    if (len > 0 && dir[len - 1] != '/') {
        // stat accepted the path, so it fits in PATH_MAX; the text lives as
        // long as the process, like the argument texts themselves.
        static char with_slash[PATH_MAX + 2];
        if (len + 2 > sizeof with_slash) {
            refuse_command_line(program_name, "%s: %s", dir, std::strerror(ENAMETOOLONG));
        }
        std::snprintf(with_slash, sizeof with_slash, "%s/", dir);
        settings.mail_spool_dir = with_slash;
    } else {
        settings.mail_spool_dir = dir;
    }
}

// -t takes a decimal count of seconds, read like "%u" (leading blanks, digits,
// anything after them ignored). Text that does not start with a digit keeps
// the previous value; a negative number is refused instead of wrapping round,
// and a value too large for 32 bits is capped.
void set_io_timeout(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    if (*text == '+') ++text;
    if (!std::isdigit(static_cast<unsigned char>(*text))) return;
    errno = 0;
    const unsigned long long seconds = std::strtoull(text, nullptr, 10);
    if (errno == ERANGE || seconds > UINT32_MAX) {
        settings.io_timeout = UINT32_MAX;
    } else {
        settings.io_timeout = static_cast<std::uint32_t>(seconds);
    }
}

// -n, -N, -A, -P and -b take a whole decimal number within [least, most];
// anything else ends the program, since a limit silently left at its default
// would not be what the administrator asked for.
std::uint32_t parse_count(const char* program_name, int letter, const char* text,
                          std::uint32_t least, std::uint32_t most) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value =
        std::isdigit(static_cast<unsigned char>(text[0])) ? std::strtoull(text, &end, 10) : 0;
    if (end == nullptr || *end != '\0' || errno == ERANGE || value < least || value > most) {
        refuse_command_line(program_name, "-%c needs a number from %u to %u", letter,
                            static_cast<unsigned>(least), static_cast<unsigned>(most));
    }
    return static_cast<std::uint32_t>(value);
}

// -l may be given several times; each address is bound.
void add_listen_address(const char* program_name, const char* address) {
    if (settings.listen_address_count == max_listen_addresses) {
        refuse_command_line(program_name, "%s", "too many -l options");
    }
    settings.listen_addresses[settings.listen_address_count++] = address;
}

// -r takes a numeric address or prefix; anything else is refused at once,
// since a proxy that is silently not trusted would have its header refused.
void add_trusted_proxy(const char* program_name, const char* text) {
    if (settings.trusted_proxy_count == max_trusted_proxies) {
        refuse_command_line(program_name, "%s", "too many -r options");
    }
    if (!parse_address_prefix(text, &settings.trusted_proxies[settings.trusted_proxy_count])) {
        refuse_command_line(program_name, "-r %s: not an IP address or address/prefix length",
                            text);
    }
    ++settings.trusted_proxy_count;
}

// -c and -k may each be given twice: the second pair is a certificate of the
// other key type, served beside the first.
// count is how many of that letter came before.
void add_file(const char* program_name, int letter, const char* path, unsigned& count) {
    const bool cert = letter == 'c';
    const char** first = cert ? &settings.cert_file : &settings.key_file;
    const char** second = cert ? &settings.second_cert_file : &settings.second_key_file;
    if (count == 2)
        refuse_command_line(program_name, "%s",
                            cert ? "too many -c options" : "too many -k options");
    *(count++ == 0 ? first : second) = path;
}

}  // namespace

void print_help(const char* program_name) {
    std::printf("Usage: %s [OPTIONS]\n", program_name);
    std::printf(
        "Start a POP3 daemon.\n"
        "\n"
        "  -d             run as a daemon (in the background)\n"
        "  -f <pidfile>   store process ID in <pidfile> (must be a full path)\n"
        "  -s             use SSL for all connections\n"
        "  -S             offer STLS on a plain port (-s on port 995 is preferred)\n"
        "  -R             as -S, and refuse USER, PASS and AUTH before STLS\n"
        "  -c <certfile>  use <certfile> for SSL certificate [%s]\n"
        "  -k <keyfile>   use <keyfile> for SSL key          [%s]\n"
        "                 (-c and -k once more: a second certificate of the\n"
        "                 other key type, e.g. ECDSA beside RSA)\n"
        "  -p <port>      listen on <port>    [default: 110, or 995 if SSL]\n",
        settings.cert_file, settings.key_file);
    std::printf(
        "  -l <address>   listen on <address> [default: any]\n"
        "  -a <authfile>  use text file <authfile> for authentication\n"
        "  -m <spooldir>  use directory <spooldir> as mail spool\n"
        "  -D             use /etc/pop3.{allow,deny} files\n"
        "  -L <mbox>      use ~/<mbox> as mail spool\n"
        "  -t <timeout>   use <timeout> seconds as r/w timeout\n"
        "  -e             copy log lines to standard error\n"
        "  -u <user>      run the pre-login process as <user> [%s]\n",
        settings.prelogin_user);
    std::printf(
        "  -n <count>     most connections from one client address [%u]\n"
        "  -N <count>     most connections in total [%u]\n"
        "  -A <seconds>   time allowed for the whole login phase [%u]\n"
        "  -P <seconds>   base delay after a refused login [%u]\n"
        "  -i             serve one connection on standard input (inetd); the\n"
        "                 connections share -P's table in %s\n"
        "  -r <address>   accept a PROXY protocol header from <address>[/<bits>]\n"
        "  -X             serve messages from the maildrop, without spool copies\n"
        "  -b <bits>      count IPv6 clients by their first <bits> bits [%u]\n"
        "\n"
        "Use `%s -v' to show the program version.\n",
        static_cast<unsigned>(settings.per_address_limit),
        static_cast<unsigned>(settings.connection_limit),
        static_cast<unsigned>(settings.login_deadline), static_cast<unsigned>(settings.login_delay),
        settings.login_throttle_file, static_cast<unsigned>(settings.ipv6_prefix_bits),
        program_name);
    std::exit(0);
}

// Long only because it is one flat case per option: each case is a line or
// two, and splitting the switch would scatter the options over helpers.
void parse_command_line(int argc, char** argv) {
    const char* program_name = argv[0];
    unsigned certs_given = 0;
    unsigned keys_given = 0;
    int opt;
    while ((opt = getopt(argc, argv, option_string)) != -1) {
        switch (opt) {
            case 'd':
                settings.daemon_mode = true;
                break;
            case 'f':
                settings.pid_file = optarg;
                break;
            case 's':
                settings.use_tls = true;
                if (settings.port == nullptr) settings.port = "995";
                break;
            case 'S':
                settings.offer_stls = true;
                break;
            case 'R':
                settings.offer_stls = true;
                settings.require_tls = true;
                break;
            case 'p':
                settings.port = optarg;
                break;
            case 'c':
            case 'k':
                add_file(program_name, opt, optarg, opt == 'c' ? certs_given : keys_given);
                break;
            case 'l':
                add_listen_address(program_name, optarg);
                break;
            case 'a':
                settings.auth_file = optarg;
                break;
            case 'm':
                set_mail_spool_dir(program_name, optarg);
                break;
            case 'h':
                print_help(program_name);
            case 'v':
                std::printf("%s %s\n", "tollmar", version);
                std::exit(0);
            case 'D':
                settings.use_access_lists = true;
                break;
            case 'L':
                settings.home_mbox = optarg;
                break;
            case 't':
                set_io_timeout(optarg);
                break;
            case 'e':
                settings.log_to_stderr = true;
                break;
            case 'x':
                settings.spool_tmp_dir = optarg;
                break;
            case 'X':
                settings.serve_from_maildrop = true;
                break;
            case 'u':
                settings.prelogin_user = optarg;
                break;
            case 'n':
                settings.per_address_limit = parse_count(program_name, opt, optarg, 1, 1000000);
                break;
            case 'N':
                settings.connection_limit = parse_count(program_name, opt, optarg, 1, 1000000);
                break;
            case 'A':
                settings.login_deadline = parse_count(program_name, opt, optarg, 0, 86400);
                break;
            case 'P':
                settings.login_delay = parse_count(program_name, opt, optarg, 0, 3600);
                break;
            case 'i':
                settings.inetd_mode = true;
                break;
            case 'r':
                add_trusted_proxy(program_name, optarg);
                break;
            case 'b':
                settings.ipv6_prefix_bits = parse_count(program_name, opt, optarg, 16, 128);
                break;
            default:
                refuse_command_line(program_name, "%s", "unknown option - try '-h'");
        }
    }
    if (settings.port == nullptr) settings.port = "110";
    if ((settings.second_cert_file == nullptr) != (settings.second_key_file == nullptr)) {
        refuse_command_line(program_name, "%s",
                            "a second -c needs a second -k, and the other way round");
    }
    // Detaching would put /dev/null where the connection is.
    if (settings.inetd_mode && settings.daemon_mode) {
        refuse_command_line(program_name, "%s", "-i and -d exclude each other");
    }
    // STLS upgrades a plain connection; under -s there is none to upgrade.
    if (settings.use_tls && settings.offer_stls) {
        refuse_command_line(program_name, "%s", "-s and -S (or -R) exclude each other");
    }
}

}  // namespace tollmar::config
