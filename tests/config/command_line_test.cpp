// Option parsing: defaults, every option, the port rule, -m and -t handling,
// help and version output and the error exits.
#include "config/command_line.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "config/settings.hpp"
#include "support/child_run.hpp"
#include "support/temp_folder.hpp"

namespace {

using tollmar::config::parse_command_line;
using tollmar::config::settings;
using tollmar::test::child_result;
using tollmar::test::returned_status;
using tollmar::test::run_in_child;

const char* or_none(const char* text) {
    return text != nullptr ? text : "(none)";
}

// The settings after parsing, as name=value lines.
std::string dump_settings() {
    std::string text;
    auto add = [&text](const char* name, const std::string& value) {
        text += std::string(name) + "=" + value + "\n";
    };
    std::string addresses;
    for (unsigned i = 0; i < settings.listen_address_count; ++i) {
        addresses += (i > 0 ? "," : "") + std::string(settings.listen_addresses[i]);
    }
    add("listen_address", addresses.empty() ? "(none)" : addresses);
    add("port", or_none(settings.port));
    add("tls_mode", std::to_string(settings.use_tls));
    add("offer_stls", std::to_string(settings.offer_stls));
    add("require_tls", std::to_string(settings.require_tls));
    add("cert_file", or_none(settings.cert_file));
    add("key_file", or_none(settings.key_file));
    add("second_cert_file", or_none(settings.second_cert_file));
    add("second_key_file", or_none(settings.second_key_file));
    add("pid_file", or_none(settings.pid_file));
    add("daemon_mode", std::to_string(settings.daemon_mode));
    add("log_to_stderr", std::to_string(settings.log_to_stderr));
    add("auth_file", or_none(settings.auth_file));
    add("use_access_lists", std::to_string(settings.use_access_lists));
    add("mail_spool_dir", or_none(settings.mail_spool_dir));
    add("home_mbox", or_none(settings.home_mbox));
    add("spool_tmp_dir", or_none(settings.spool_tmp_dir));
    add("serve_from_maildrop", std::to_string(settings.serve_from_maildrop));
    add("io_timeout", std::to_string(settings.io_timeout));
    add("prelogin_user", or_none(settings.prelogin_user));
    add("per_address_limit", std::to_string(settings.per_address_limit));
    add("connection_limit", std::to_string(settings.connection_limit));
    add("login_deadline", std::to_string(settings.login_deadline));
    add("login_delay", std::to_string(settings.login_delay));
    add("ipv6_prefix_bits", std::to_string(settings.ipv6_prefix_bits));
    add("inetd_mode", std::to_string(settings.inetd_mode));
    add("trusted_proxies", std::to_string(settings.trusted_proxy_count));
    return text;
}

std::map<std::string, std::string> parse_dump(const std::string& text) {
    std::map<std::string, std::string> fields;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
        start = end + 1;
    }
    return fields;
}

// Parses argv (program name first) in a child process.
child_result run_parser(std::vector<std::string> args) {
    return run_in_child([&args](int extra_fd) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        optind = 0;  // full re-initialisation of glibc's getopt
        parse_command_line(static_cast<int>(args.size()), argv.data());
        tollmar::test::write_text(extra_fd, dump_settings());
    });
}

// Parses argv that must be accepted and returns the resulting settings.
std::map<std::string, std::string> parsed(const std::vector<std::string>& args) {
    const child_result r = run_parser(args);
    EXPECT_EQ(r.status, returned_status) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    return parse_dump(r.extra);
}

class CommandLineDir : public ::testing::Test {
protected:
    void SetUp() override {
        dir = tollmar::test::make_temp_folder("tollmar-command-line");
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override { tollmar::test::remove_temp_folder(dir); }
    std::string dir;
};

TEST(CommandLine, DefaultsWithoutOptions) {
    auto s = parsed({"tollmar"});
    EXPECT_EQ(s["listen_address"], "(none)");
    EXPECT_EQ(s["port"], "110");
    EXPECT_EQ(s["tls_mode"], "0");
    EXPECT_EQ(s["cert_file"], "/etc/tollmar/cert.pem");
    EXPECT_EQ(s["key_file"], "/etc/tollmar/key.pem");
    EXPECT_EQ(s["pid_file"], "/var/run/tollmar.pid");
    EXPECT_EQ(s["daemon_mode"], "0");
    EXPECT_EQ(s["log_to_stderr"], "0");
    EXPECT_EQ(s["auth_file"], "(none)");
    EXPECT_EQ(s["use_access_lists"], "0");
    EXPECT_EQ(s["mail_spool_dir"], "/var/mail/");
    EXPECT_EQ(s["home_mbox"], "(none)");
    EXPECT_EQ(s["spool_tmp_dir"], "/tmp");
    EXPECT_EQ(s["serve_from_maildrop"], "0");
    EXPECT_EQ(s["io_timeout"], "30");
    EXPECT_EQ(s["prelogin_user"], "nobody");
    EXPECT_EQ(s["per_address_limit"], "20");
    EXPECT_EQ(s["connection_limit"], "500");
    EXPECT_EQ(s["login_deadline"], "60");
    EXPECT_EQ(s["login_delay"], "2");
    EXPECT_EQ(s["ipv6_prefix_bits"], "64");
    EXPECT_EQ(s["inetd_mode"], "0");
    EXPECT_EQ(s["offer_stls"], "0");
    EXPECT_EQ(s["require_tls"], "0");
    EXPECT_EQ(s["trusted_proxies"], "0");
}

TEST(CommandLine, EachOptionSetsItsField) {
    struct Case {
        std::vector<std::string> args;
        const char* field;
        const char* value;
    };
    const Case cases[] = {
        {{"-d"}, "daemon_mode", "1"},
        {{"-f", "/run/x.pid"}, "pid_file", "/run/x.pid"},
        {{"-f", "rel.pid"}, "pid_file", "rel.pid"},
        {{"-c", "/c.pem"}, "cert_file", "/c.pem"},
        {{"-k", "/k.pem"}, "key_file", "/k.pem"},
        {{"-l", "127.0.0.1"}, "listen_address", "127.0.0.1"},
        {{"-l", "127.0.0.1", "-l", "::1", "-l", "host"}, "listen_address", "127.0.0.1,::1,host"},
        {{"-i"}, "inetd_mode", "1"},
        {{"-a", "/etc/auth"}, "auth_file", "/etc/auth"},
        {{"-D"}, "use_access_lists", "1"},
        {{"-L", "Mail/inbox"}, "home_mbox", "Mail/inbox"},
        {{"-x", "/var/tmp"}, "spool_tmp_dir", "/var/tmp"},
        {{"-X"}, "serve_from_maildrop", "1"},
        {{"-eX"}, "serve_from_maildrop", "1"},
        {{"-p", "2110"}, "port", "2110"},
        {{"-p", "pop3"}, "port", "pop3"},
        {{"-s"}, "tls_mode", "1"},
        {{"-S"}, "offer_stls", "1"},
        {{"-S"}, "require_tls", "0"},
        {{"-R"}, "offer_stls", "1"},
        {{"-R"}, "require_tls", "1"},
        {{"-S"}, "port", "110"},
        {{"-p", "1", "-p", "2"}, "port", "2"},
        {{"-f", "/a", "-f", "/b"}, "pid_file", "/b"},
        {{"-d", "-d"}, "daemon_mode", "1"},
        {{"-dD"}, "use_access_lists", "1"},
        {{"-e"}, "log_to_stderr", "1"},
        {{"-de"}, "log_to_stderr", "1"},
        {{"-p2110"}, "port", "2110"},
        {{"-u", "pop3login"}, "prelogin_user", "pop3login"},
        {{"-upop3login"}, "prelogin_user", "pop3login"},
        {{"-n", "3"}, "per_address_limit", "3"},
        {{"-N", "1000000"}, "connection_limit", "1000000"},
        {{"-A", "0"}, "login_deadline", "0"},
        {{"-A5"}, "login_deadline", "5"},
        {{"-P", "0"}, "login_delay", "0"},
        {{"-P", "3600"}, "login_delay", "3600"},
        {{"-b", "48"}, "ipv6_prefix_bits", "48"},
        {{"-b", "128"}, "ipv6_prefix_bits", "128"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"tollmar"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto s = parsed(args);
        EXPECT_EQ(s[c.field], c.value) << "args: " << c.args[0];
    }
}

TEST(CommandLine, PortRule) {
    struct Case {
        std::vector<std::string> args;
        const char* port;
        const char* tls;
    };
    const Case cases[] = {
        {{}, "110", "0"},
        {{"-s"}, "995", "1"},
        {{"-s", "-p", "110"}, "110", "1"},
        {{"-p", "2110", "-s"}, "2110", "1"},
        {{"-p", "110", "-s"}, "110", "1"},
        {{"-s", "-s"}, "995", "1"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"tollmar"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto s = parsed(args);
        EXPECT_EQ(s["port"], c.port) << args.size();
        EXPECT_EQ(s["tls_mode"], c.tls) << args.size();
    }
}

// A second -c/-k pair is the certificate of the other key type; each needs
// the other, and there is no third.
TEST(CommandLine, CertificatePairs) {
    auto s =
        parsed({"tollmar", "-c", "/rsa.pem", "-k", "/rsa.key", "-c", "/ec.pem", "-k", "/ec.key"});
    EXPECT_EQ(s["cert_file"], "/rsa.pem");
    EXPECT_EQ(s["key_file"], "/rsa.key");
    EXPECT_EQ(s["second_cert_file"], "/ec.pem");
    EXPECT_EQ(s["second_key_file"], "/ec.key");
    s = parsed({"tollmar", "-c", "/a.pem", "-c", "/b.pem", "-k", "/a.key", "-k", "/b.key"});
    EXPECT_EQ(s["key_file"], "/a.key");
    EXPECT_EQ(s["second_key_file"], "/b.key");
    s = parsed({"tollmar", "-c", "/only.pem"});
    EXPECT_EQ(s["second_cert_file"], "(none)");
    EXPECT_EQ(s["key_file"], "/etc/tollmar/key.pem");

    const std::string prog = "tollmar";
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"-c", "/a", "-c", "/b"}, "a second -c needs a second -k, and the other way round"},
        {{"-k", "/a", "-k", "/b"}, "a second -c needs a second -k, and the other way round"},
        {{"-c", "/a", "-c", "/b", "-c", "/c"}, "too many -c options"},
        {{"-k", "/a", "-k", "/b", "-k", "/c"}, "too many -k options"},
    };
    for (const auto& [args, message] : refused) {
        std::vector<std::string> argv = {prog};
        argv.insert(argv.end(), args.begin(), args.end());
        const child_result r = run_parser(argv);
        EXPECT_EQ(r.status, 1) << args.size();
        EXPECT_EQ(r.err, prog + ": " + message + "\n");
    }
}

TEST(CommandLine, TimeoutParsing) {
    struct Case {
        const char* text;
        const char* timeout;
    };
    const Case cases[] = {
        {"abc", "30"},
        {"0", "0"},
        {"12abc", "12"},
        {"45", "45"},
        {" 7", "7"},
        {"", "30"},
        {"-5", "30"},
        {"+8", "8"},
        {"4294967295", "4294967295"},
        {"4294967296", "4294967295"},
        {"99999999999999999999999", "4294967295"},
    };
    for (const Case& c : cases) {
        auto s = parsed({"tollmar", "-t", c.text});
        EXPECT_EQ(s["io_timeout"], c.timeout) << "-t '" << c.text << "'";
    }
    // A later unreadable -t keeps the value of an earlier one.
    EXPECT_EQ(parsed({"tollmar", "-t", "9", "-t", "x"})["io_timeout"], "9");
}

TEST(CommandLine, ParsingStopsAtFirstNonOption) {
    auto s = parsed({"tollmar", "-d", "word", "-s", "-p", "7"});
    EXPECT_EQ(s["daemon_mode"], "1");
    EXPECT_EQ(s["tls_mode"], "0");
    EXPECT_EQ(s["port"], "110");

    s = parsed({"tollmar", "-D", "--", "-s"});
    EXPECT_EQ(s["use_access_lists"], "1");
    EXPECT_EQ(s["tls_mode"], "0");

    // Even an unknown option after the first plain word is never looked at.
    s = parsed({"tollmar", "word", "-Z"});
    EXPECT_EQ(s["port"], "110");
}

TEST_F(CommandLineDir, MailSpoolDirGetsOneTrailingSlash) {
    EXPECT_EQ(parsed({"tollmar", "-m", dir})["mail_spool_dir"], dir + "/");
    EXPECT_EQ(parsed({"tollmar", "-m", dir + "/"})["mail_spool_dir"], dir + "/");
    EXPECT_EQ(parsed({"tollmar", "-m", "/"})["mail_spool_dir"], "/");

    // stat follows symbolic links: a link to a directory is a directory.
    const std::string link = dir + "/link";
    ASSERT_EQ(symlink(dir.c_str(), link.c_str()), 0);
    EXPECT_EQ(parsed({"tollmar", "-m", link})["mail_spool_dir"], link + "/");
}

TEST_F(CommandLineDir, MailSpoolDirErrors) {
    const std::string missing = dir + "/missing";
    const std::string file = dir + "/file";
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    const std::string dangling = dir + "/dangling";
    ASSERT_EQ(symlink(missing.c_str(), dangling.c_str()), 0);
    const std::string through_file = file + "/sub";

    struct Case {
        std::string arg;
        std::string err;
    };
    const std::string prog = "/usr/sbin/tollmar";
    const Case cases[] = {
        {missing, prog + ": " + missing + ": No such file or directory\n"},
        {file, prog + ": " + file + " is not a directory\n"},
        {dangling, prog + ": " + dangling + ": No such file or directory\n"},
        {through_file, prog + ": " + through_file + ": Not a directory\n"},
        {"", prog + ": : No such file or directory\n"},
        {std::string(5000, 'a'), prog + ": " + std::string(5000, 'a') + ": File name too long\n"},
    };
    for (const Case& c : cases) {
        // Options after the failing -m are never read.
        const child_result r = run_parser({prog, "-m", c.arg, "-v"});
        EXPECT_EQ(r.status, 1) << c.arg.substr(0, 80);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
}

// The help text lives in one golden file, shared with the end-to-end tests;
// {prog}, {cert} and {key} stand for the texts that vary.
std::string help_text(const std::string& prog, const std::string& cert, const std::string& key) {
    std::ifstream in(TOLLMAR_TESTS_DIR "/config/help.golden", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(text.empty()) << "help.golden not found";
    const std::pair<std::string, std::string> fields[] = {
        {"{prog}", prog}, {"{cert}", cert}, {"{key}", key}};
    for (const auto& [name, value] : fields) {
        for (std::size_t at = text.find(name); at != std::string::npos;
             at = text.find(name, at + value.size())) {
            text.replace(at, name.size(), value);
        }
    }
    return text;
}

TEST(CommandLine, HelpTextByteForByte) {
    const child_result r = run_parser({"./bin/tollmar", "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, help_text("./bin/tollmar", "/etc/tollmar/cert.pem", "/etc/tollmar/key.pem"));
}

// Every option the parser takes has a line of its own in the help, in the
// same columns. -h and -v are the help's own frame; -x has never been listed
// in the help (doc/operating.md and tollmar(8) document it), and scripts that
// compare the help text rely on it staying as it is.
TEST(CommandLine, HelpListsEveryOptionInColumns) {
    const child_result r = run_parser({"tollmar", "-h"});
    ASSERT_EQ(r.status, 0);
    std::map<char, std::string> lines;
    std::size_t start = 0;
    while (start < r.out.size()) {
        const std::size_t end = r.out.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "help must end in a line feed";
        const std::string line = r.out.substr(start, end - start);
        start = end + 1;
        if (line.rfind("  -", 0) != 0) continue;
        ASSERT_GT(line.size(), 17u);
        EXPECT_EQ(line[16], ' ') << line;
        EXPECT_NE(line[17], ' ') << line;
        const char opt = line[3];
        if (opt == 'c' || opt == 'k') {
            EXPECT_EQ(line.find('['), 52u) << line;
        }
        if (opt == 'p' || opt == 'l') {
            EXPECT_EQ(line.find('['), 37u) << line;
        }
        EXPECT_TRUE(lines.emplace(opt, line).second) << "listed twice: " << line;
    }
    for (const char* p = tollmar::config::option_string; *p != '\0'; ++p) {
        const char letter = *p;
        if (letter == '+' || letter == ':') continue;
        const bool takes_argument = p[1] == ':';
        if (letter == 'h' || letter == 'v' || letter == 'x') {
            EXPECT_EQ(lines.count(letter), 0u) << letter;
            continue;
        }
        ASSERT_EQ(lines.count(letter), 1u) << "no help line for -" << letter;
        const std::string& line = lines[letter];
        EXPECT_EQ(line[5] == ' ', !takes_argument) << line;
        lines.erase(letter);
    }
    EXPECT_TRUE(lines.empty()) << "help line for an option the parser does not take: "
                               << lines.begin()->second;
}

TEST(CommandLine, HelpShowsCertAndKeyReadBeforeIt) {
    child_result r = run_parser({"tollmar", "-c", "/x/c.pem", "-k", "/x/k.pem", "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, help_text("tollmar", "/x/c.pem", "/x/k.pem"));

    r = run_parser({"tollmar", "-h", "-c", "/x/c.pem"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, help_text("tollmar", "/etc/tollmar/cert.pem", "/etc/tollmar/key.pem"));
}

TEST(CommandLine, VersionLine) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"tollmar", "-v"},
                                               {"tollmar", "-v", "-Z"},
                                               {"tollmar", "-d", "-v", "-m", "/nonexistent"}}) {
        const child_result r = run_parser(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "tollmar 0.7.6\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(CommandLine, UnknownOptionAndMissingArgument) {
    struct Case {
        std::vector<std::string> args;
        std::string getopt_line;
    };
    const std::string prog = "/opt/tollmar";
    const Case cases[] = {
        {{"-Z"}, prog + ": invalid option -- 'Z'\n"},
        {{"-Z", "-h"}, prog + ": invalid option -- 'Z'\n"},
        {{"-d", "-?"}, prog + ": invalid option -- '?'\n"},
        {{"-p"}, prog + ": option requires an argument -- 'p'\n"},
        {{"-s", "-m"}, prog + ": option requires an argument -- 'm'\n"},
        {{"-t"}, prog + ": option requires an argument -- 't'\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {prog};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const child_result r = run_parser(args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.out, "") << c.args[0];
        EXPECT_EQ(r.err, c.getopt_line + prog + ": unknown option - try '-h'\n");
    }
    // The reverse order: help first wins.
    const child_result help_first = run_parser({"tollmar", "-h", "-Z"});
    EXPECT_EQ(help_first.status, 0);
    EXPECT_EQ(help_first.err, "");
}

TEST(CommandLine, TrustedProxiesAndTheirErrors) {
    EXPECT_EQ(parsed({"tollmar", "-r", "127.0.0.1", "-r", "10.0.0.0/8", "-r", "::1", "-r",
                      "fd00::/8"})["trusted_proxies"],
              "4");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"-r", "proxy.example.org"},
         "tollmar: -r proxy.example.org: not an IP address or address/prefix length\n"},
        {{"-r", "10.0.0.0/33"},
         "tollmar: -r 10.0.0.0/33: not an IP address or address/prefix length\n"},
        {{"-r", "10.0.0.0/"},
         "tollmar: -r 10.0.0.0/: not an IP address or address/prefix length\n"},
        {{"-r", ""}, "tollmar: -r : not an IP address or address/prefix length\n"},
        {{"-i", "-d"}, "tollmar: -i and -d exclude each other\n"},
        {{"-d", "-i", "-l", "::1"}, "tollmar: -i and -d exclude each other\n"},
        {{"-s", "-S"}, "tollmar: -s and -S (or -R) exclude each other\n"},
        {{"-R", "-s"}, "tollmar: -s and -S (or -R) exclude each other\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"tollmar"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const child_result r = run_parser(args);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, c.err);
    }
    std::vector<std::string> many = {"tollmar"};
    for (unsigned i = 0; i <= tollmar::config::max_listen_addresses; ++i) {
        many.insert(many.end(), {"-l", "127.0.0." + std::to_string(i + 1)});
    }
    const child_result r = run_parser(many);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tollmar: too many -l options\n");
}

// A limit that cannot be read ends the program rather than leaving the
// default in force behind the administrator's back.
TEST(CommandLine, LimitsMustBeWholeNumbersInRange) {
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-n", "0"}, "tollmar: -n needs a number from 1 to 1000000\n"},
        {{"-n", "1000001"}, "tollmar: -n needs a number from 1 to 1000000\n"},
        {{"-N", "-5"}, "tollmar: -N needs a number from 1 to 1000000\n"},
        {{"-N", "5x"}, "tollmar: -N needs a number from 1 to 1000000\n"},
        {{"-A", ""}, "tollmar: -A needs a number from 0 to 86400\n"},
        {{"-A", " 5"}, "tollmar: -A needs a number from 0 to 86400\n"},
        {{"-P", "3601"}, "tollmar: -P needs a number from 0 to 3600\n"},
        {{"-P", "99999999999999999999999"}, "tollmar: -P needs a number from 0 to 3600\n"},
        {{"-b", "15"}, "tollmar: -b needs a number from 16 to 128\n"},
        {{"-b", "129"}, "tollmar: -b needs a number from 16 to 128\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"tollmar"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const child_result r = run_parser(args);
        EXPECT_EQ(r.status, 1) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(r.err, c.err) << c.args[0] << " " << c.args[1];
    }
}

TEST(CommandLine, HelpFirstWinsOverABadLimit) {
    const child_result r = run_parser({"tollmar", "-h", "-n", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

}  // namespace
