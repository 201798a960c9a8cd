// TLS set-up and line I/O over TLS, against an OpenSSL client in this process
// and the server side in a forked child.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <ostream>
#include <string>

#include "channel/harness.hpp"
#include "channel/line_io.hpp"
#include "channel/tls.hpp"
#include "channel/tls_handle.hpp"
#include "config/settings.hpp"
#include "support/temp_folder.hpp"

namespace tollmar::channel {
namespace {

using test::run_in_child;

class Tls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = tollmar::test::make_temp_folder("tollmar-tls");
        ASSERT_FALSE(dir_.empty());
        const std::string cmd =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
            "-subj /CN=localhost -keyout " +
            key() + " -out " + cert() + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    static void TearDownTestSuite() { tollmar::test::remove_temp_folder(dir_); }
    static std::string cert() { return dir_ + "/cert.pem"; }
    static std::string key() { return dir_ + "/key.pem"; }

    // Prepares a child to serve TLS with the given files.
    static void serve_tls(const std::string& cert_file, const std::string& key_file,
                          unsigned timeout) {
        test::reset_channel_state();
        static std::string cert_copy, key_copy;
        cert_copy = cert_file;
        key_copy = key_file;
        config::settings.cert_file = cert_copy.c_str();
        config::settings.key_file = key_copy.c_str();
        config::settings.io_timeout = timeout;
        config::settings.use_tls = true;
    }

    static std::string dir_;
};
std::string Tls::dir_;

// A blocking TLS client on the peer end; null when the handshake fails.
struct tls_client {
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    explicit tls_client(int fd) {
        ctx = SSL_CTX_new(TLS_client_method());
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) != 1) {
            SSL_free(ssl);
            ssl = nullptr;
        }
    }
    ~tls_client() {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
    }
    std::string read_exactly(std::size_t n) {
        std::string out;
        char buf[4096];
        while (ssl != nullptr && out.size() < n) {
            const int want = static_cast<int>(std::min(sizeof buf, n - out.size()));
            const int r = SSL_read(ssl, buf, want);
            if (r <= 0) break;
            out.append(buf, static_cast<std::size_t>(r));
        }
        return out;
    }
    bool write(const std::string& s) {
        return ssl != nullptr &&
               SSL_write(ssl, s.data(), static_cast<int>(s.size())) == static_cast<int>(s.size());
    }
};

TEST_F(Tls, GreetingAndCommandRoundTrip) {
    const auto outcome = run_in_child(
        [](int fd) {
            serve_tls(cert(), key(), 10);
            tls_start(fd);
            send_text(fd, "+OK\r\n");
            char buf[4096];
            if (read_line(fd, buf, sizeof buf) <= 0) return 2;
            send_text(fd, buf);
            close(fd);
            tls_end();
            return get_tls_handle() == nullptr ? 0 : 3;
        },
        [](int peer, std::string& received) {
            tls_client client(peer);
            ASSERT_NE(client.ssl, nullptr);
            received = client.read_exactly(5);
            ASSERT_TRUE(client.write("USER someone\r\n"));
            received += client.read_exactly(14);
        });
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.received, "+OK\r\nUSER someone\r\n");
}

TEST_F(Tls, PipelinedLinesInOneRecordAreReadWithoutWaiting) {
    // One record longer than a read takes: after the first line the socket is
    // empty, the rest sits decrypted inside the TLS layer. With no wait
    // allowed, looking only at the socket would end the child.
    const std::string first = std::string(3000, 'a') + "\r\n";
    const std::string second = std::string(2500, 'b') + "\r\n";
    const std::string third = "QUIT\r\n";
    const auto outcome = run_in_child(
        [&](int fd) {
            serve_tls(cert(), key(), 10);
            tls_start(fd);
            send_text(fd, "+OK\r\n");
            char buf[4096];
            if (read_line(fd, buf, sizeof buf) <= 0 || first != buf) return 2;
            config::settings.io_timeout = 0;
            if (!input_pending()) return 3;
            if (read_line(fd, buf, sizeof buf) <= 0 || second != buf) return 4;
            if (read_line(fd, buf, sizeof buf) <= 0 || third != buf) return 5;
            send_text(fd, "+OK\r\n");
            return 0;
        },
        [&](int peer, std::string& received) {
            tls_client client(peer);
            ASSERT_NE(client.ssl, nullptr);
            received = client.read_exactly(5);
            ASSERT_TRUE(client.write(first + second + third));
            received += client.read_exactly(5);
        });
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.received, "+OK\r\n+OK\r\n");
}

TEST_F(Tls, ClientClosingWithoutAlertIsEndOfInput) {
    const auto outcome = run_in_child(
        [](int fd) {
            serve_tls(cert(), key(), 10);
            tls_start(fd);
            send_text(fd, "+OK\r\n");
            char buf[4096];
            return read_line(fd, buf, sizeof buf) == 0 && buf[0] == '\0' ? 7 : 2;
        },
        [](int peer, std::string& received) {
            tls_client client(peer);
            ASSERT_NE(client.ssl, nullptr);
            received = client.read_exactly(5);
            shutdown(peer, SHUT_RDWR);
        });
    EXPECT_EQ(outcome.status, 7);
    EXPECT_EQ(outcome.received, "+OK\r\n");
}

struct bad_files {
    const char* name;
    bool missing_cert;
    bool missing_key;
    bool key_is_cert;
};

// Without it gtest prints the raw bytes of the record, pointer included, so a
// case's description would change from one build to the next.
void PrintTo(const bad_files& c, std::ostream* out) {
    *out << c.name;
}

class TlsBadFiles : public Tls, public ::testing::WithParamInterface<bad_files> {};

TEST_P(TlsBadFiles, EndWithStatusOneAndNoGreeting) {
    const bad_files c = GetParam();
    const std::string cert_file = c.missing_cert ? dir_ + "/absent.pem" : cert();
    const std::string key_file =
        c.missing_key ? dir_ + "/absent.pem" : (c.key_is_cert ? cert() : key());
    const auto outcome = run_in_child(
        [&](int fd) {
            serve_tls(cert_file, key_file, 5);
            tls_start(fd);
            send_text(fd, "+OK\r\n");
            return 0;
        },
        nullptr);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.received, "");
}

INSTANTIATE_TEST_SUITE_P(Files, TlsBadFiles,
                         ::testing::Values(bad_files{"missing_cert", true, false, false},
                                           bad_files{"missing_key", false, true, false},
                                           bad_files{"key_file_without_key", false, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Tls, PlainClientGetsNoGreeting) {
    const auto outcome = run_in_child(
        [](int fd) {
            serve_tls(cert(), key(), 5);
            tls_start(fd);
            send_text(fd, "+OK\r\n");
            return 0;
        },
        [](int peer, std::string&) { test::write_fully(peer, "USER someone\r\nPASS secret\r\n"); });
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.received.find("+OK"), std::string::npos);
}

TEST_F(Tls, SilentClientCannotHoldTheHandshake) {
    const auto outcome = run_in_child(
        [](int fd) {
            serve_tls(cert(), key(), 1);
            tls_start(fd);
            send_text(fd, "+OK\r\n");
            return 0;
        },
        nullptr);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.received, "");
}

// Greets, reads one line and sends it back; 0, or 3 when no line came.
int echo_one_line(int fd) {
    send_text(fd, "+OK\r\n");
    char buf[4096];
    if (read_line(fd, buf, sizeof buf) <= 0) return 3;
    send_text(fd, buf);
    return 0;
}

// The channel speaks TLS exactly while it holds a handle; the setting only
// says whether connections start with a handshake. The process behind the
// TLS relay runs with the setting on and no handle, and must speak plain text.
TEST_F(Tls, TheHandleNotTheSettingDecides) {
    const auto with_handle = run_in_child(
        [](int fd) {
            serve_tls(cert(), key(), 10);
            config::settings.use_tls = false;
            tls_start(fd);
            return tls_active() ? echo_one_line(fd) : 2;
        },
        [](int peer, std::string& received) {
            tls_client client(peer);
            ASSERT_NE(client.ssl, nullptr);
            ASSERT_TRUE(client.write("CAPA\r\n"));
            received = client.read_exactly(11);
        });
    EXPECT_EQ(with_handle.status, 0);
    EXPECT_EQ(with_handle.received, "+OK\r\nCAPA\r\n");

    const auto without_handle = run_in_child(
        [](int fd) {
            serve_tls(cert(), key(), 10);
            return tls_active() ? 2 : echo_one_line(fd);
        },
        [](int peer, std::string& received) {
            test::write_fully(peer, "STAT\r\n");
            received = test::read_until_eof(peer);
        });
    EXPECT_EQ(without_handle.status, 0);
    EXPECT_EQ(without_handle.received, "+OK\r\nSTAT\r\n");
}

TEST_F(Tls, EndFreesTheHandleOnceAndLeavesThePlainChannel) {
    test::reset_channel_state();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    set_tls_handle(SSL_new(ctx));
    EXPECT_TRUE(tls_active());
    tls_end();
    EXPECT_FALSE(tls_active());
    EXPECT_EQ(get_tls_handle(), nullptr);
    tls_end();  // nothing left to free (a double free shows under ASan)
    SSL_CTX_free(ctx);
}

}  // namespace
}  // namespace tollmar::channel
