// The listener's TLS context: session tickets under keys the listener holds
// and rotates, certificates of two key types at once, and a certificate
// replaced between connections. This process plays the listener (it builds
// and refreshes the shared context before each connection); each connection
// is served by a forked child, as by a connection process.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "channel/harness.hpp"
#include "channel/line_io.hpp"
#include "channel/tls.hpp"
#include "channel/tls_seams.hpp"
#include "config/settings.hpp"
#include "support/temp_folder.hpp"
#include "util/clock.hpp"

namespace tollmar::channel {
namespace {

using test::run_in_child;

std::int64_t fake_now_ms = 0;
std::int64_t fake_clock() {
    return fake_now_ms;
}

bool make_cert(const std::string& dir, const std::string& name, const char* key_options) {
    const std::string cmd = std::string("openssl req -x509 -newkey ") + key_options +
                            " -nodes -days 2 -subj /CN=" + name + " -keyout " + dir + "/" + name +
                            ".key -out " + dir + "/" + name + ".pem >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// What a client saw of one connection.
struct visit {
    bool greeted = false;  // handshake done and "+OK" read
    bool resumed = false;
    bool key_exchange = false;  // an (EC)DHE group was negotiated
    int cert_key_type = EVP_PKEY_NONE;
    std::string cert_name;  // the served certificate's subject CN
    int status = -1;        // the serving child's exit status
};

class TlsResumption : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = tollmar::test::make_temp_folder("tollmar-tls-resumption");
        ASSERT_FALSE(dir_.empty());
        ASSERT_TRUE(make_cert(dir_, "ec", "ec -pkeyopt ec_paramgen_curve:prime256v1"));
        ASSERT_TRUE(make_cert(dir_, "ec2", "ec -pkeyopt ec_paramgen_curve:prime256v1"));
        ASSERT_TRUE(make_cert(dir_, "rsa", "rsa:2048"));
    }
    static void TearDownTestSuite() { tollmar::test::remove_temp_folder(dir_); }

    void SetUp() override {
        fake_now_ms = 1000;
        detail::ticket_clock_ms = fake_clock;
        client_ = SSL_CTX_new(TLS_client_method());
        ASSERT_NE(client_, nullptr);
    }
    void TearDown() override {
        SSL_SESSION_free(session_);
        SSL_CTX_free(client_);
        detail::ticket_clock_ms = util::monotonic_ms;
        tls_end();
    }

    // The listener's start: settings for a TLS listener with the given pairs.
    void start_listener(const std::string& first, const std::string& second = "") {
        test::reset_channel_state();
        static std::string paths[4];
        paths[0] = dir_ + "/" + first + ".pem";
        paths[1] = dir_ + "/" + first + ".key";
        paths[2] = dir_ + "/" + second + ".pem";
        paths[3] = dir_ + "/" + second + ".key";
        config::settings.cert_file = paths[0].c_str();
        config::settings.key_file = paths[1].c_str();
        if (!second.empty()) {
            config::settings.second_cert_file = paths[2].c_str();
            config::settings.second_key_file = paths[3].c_str();
        }
        config::settings.use_tls = true;
        config::settings.io_timeout = 10;
        char problem[512] = "";
        ASSERT_TRUE(tls_prepare_shared_context(problem, sizeof problem)) << problem;
    }

    // One connection, with the session of the last one when there is one; the
    // session it ends with is kept for the next.
    visit connect_once() {
        tls_refresh_shared_context();
        visit seen;
        const auto outcome = run_in_child(
            [](int fd) {
                tls_start(fd);
                send_text(fd, "+OK\r\n");
                char line[64];
                return read_line(fd, line, sizeof line) > 0 ? 0 : 2;
            },
            [&](int peer, std::string&) {
                SSL* ssl = SSL_new(client_);
                SSL_set_fd(ssl, peer);
                if (session_ != nullptr) SSL_set_session(ssl, session_);
                char reply[5];
                // The ticket comes before the greeting, so reading the
                // greeting takes it in.
                if (SSL_connect(ssl) == 1 && SSL_read(ssl, reply, sizeof reply) == 5 &&
                    std::string(reply, 5) == "+OK\r\n") {
                    seen.greeted = true;
                    seen.resumed = SSL_session_reused(ssl) == 1;
                    seen.key_exchange = SSL_get_negotiated_group(ssl) != 0;
                    X509* cert = SSL_get0_peer_certificate(ssl);
                    if (cert != nullptr) {
                        seen.cert_key_type = EVP_PKEY_get_base_id(X509_get0_pubkey(cert));
                        char name[64] = "";
                        X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, name,
                                                  sizeof name);
                        seen.cert_name = name;
                    }
                    SSL_SESSION_free(session_);
                    session_ = SSL_get1_session(ssl);
                    SSL_write(ssl, "QUIT\r\n", 6);
                    // Freed without a closure alert, a session is spoilt for
                    // resumption (OpenSSL's rule for a connection that broke); the
                    // child ends at QUIT and needs no alert.
                    SSL_set_shutdown(ssl, SSL_SENT_SHUTDOWN);
                }
                SSL_free(ssl);
            });
        seen.status = outcome.status;
        return seen;
    }

    static std::string dir_;
    SSL_CTX* client_ = nullptr;
    SSL_SESSION* session_ = nullptr;
};
std::string TlsResumption::dir_;

TEST_F(TlsResumption, TicketResumesWithKeyExchangeAcrossOneRotationThenFullHandshake) {
    // Offers resumption without a key exchange too: the server must not take it.
    SSL_CTX_set_options(client_, SSL_OP_ALLOW_NO_DHE_KEX);
    start_listener("ec");
    const visit first = connect_once();
    ASSERT_TRUE(first.greeted);
    EXPECT_FALSE(first.resumed);
    EXPECT_EQ(first.status, 0);

    const visit again = connect_once();
    EXPECT_TRUE(again.greeted);
    EXPECT_TRUE(again.resumed);
    EXPECT_TRUE(again.key_exchange);
    EXPECT_EQ(again.status, 0);

    // One rotation: the ticket's key now only opens, and the client gets a
    // ticket under the new key.
    fake_now_ms += detail::ticket_key_lifetime_s * 1000;
    const visit after_rotation = connect_once();
    EXPECT_TRUE(after_rotation.resumed);
    EXPECT_EQ(after_rotation.status, 0);

    // Two more lifetimes: every key that could open the ticket is gone; a
    // full handshake, not an error, and its new ticket works.
    fake_now_ms += 2 * detail::ticket_key_lifetime_s * 1000;
    const visit rotated_out = connect_once();
    EXPECT_TRUE(rotated_out.greeted);
    EXPECT_FALSE(rotated_out.resumed);
    EXPECT_EQ(rotated_out.cert_name, "ec");
    EXPECT_EQ(rotated_out.status, 0);
    EXPECT_TRUE(connect_once().resumed);
}

TEST_F(TlsResumption, Tls12GetsNoTicket) {
    // TLS 1.2 resumption would skip the key exchange.
    SSL_CTX_set_max_proto_version(client_, TLS1_2_VERSION);
    start_listener("ec");
    ASSERT_TRUE(connect_once().greeted);
    const visit again = connect_once();
    EXPECT_TRUE(again.greeted);
    EXPECT_FALSE(again.resumed);
    EXPECT_EQ(again.status, 0);
}

TEST_F(TlsResumption, ReplacedCertificateIsServedAtTheNextConnectionNotResumedPast) {
    start_listener("ec");
    ASSERT_EQ(connect_once().cert_name, "ec");
    ASSERT_TRUE(connect_once().resumed);
    // The operator replaces both files by rename, as a certificate renewal does.
    for (const char* ext : {".pem", ".key"}) {
        const std::string from = dir_ + "/ec2" + ext + ".copy";
        ASSERT_EQ(std::system(("cp " + dir_ + "/ec2" + ext + " " + from).c_str()), 0);
        ASSERT_EQ(std::rename(from.c_str(), (dir_ + "/ec" + ext).c_str()), 0);
    }
    const visit after = connect_once();
    EXPECT_TRUE(after.greeted);
    EXPECT_FALSE(after.resumed);
    EXPECT_EQ(after.cert_name, "ec2");
    EXPECT_EQ(after.status, 0);
    // Put the suite's pair back for the other cases.
    ASSERT_TRUE(make_cert(dir_, "ec", "ec -pkeyopt ec_paramgen_curve:prime256v1"));
}

TEST_F(TlsResumption, BothKeyTypesEachClientTheOneItAccepts) {
    struct Case {
        const char* sigalgs;
        int key_type;
    };
    const Case cases[] = {
        {"ECDSA+SHA256", EVP_PKEY_EC},
        {"rsa_pss_rsae_sha256:RSA+SHA256", EVP_PKEY_RSA},
    };
    for (const char* order : {"rsa,ec", "ec,rsa"}) {
        const std::string first = order[0] == 'r' ? "rsa" : "ec";
        start_listener(first, first == "rsa" ? "ec" : "rsa");
        for (const Case& c : cases) {
            SSL_CTX_free(client_);
            SSL_SESSION_free(session_);
            session_ = nullptr;  // a resumed session shows no certificate
            client_ = SSL_CTX_new(TLS_client_method());
            ASSERT_EQ(SSL_CTX_set1_sigalgs_list(client_, c.sigalgs), 1);
            const visit seen = connect_once();
            EXPECT_TRUE(seen.greeted) << order << " " << c.sigalgs;
            EXPECT_EQ(seen.cert_key_type, c.key_type) << order << " " << c.sigalgs;
        }
    }
}

TEST_F(TlsResumption, SecondCertificateOfTheSameKeyTypeIsRefused) {
    test::reset_channel_state();
    const std::string a = dir_ + "/ec.pem", ak = dir_ + "/ec.key";
    const std::string b = dir_ + "/ec2.pem", bk = dir_ + "/ec2.key";
    config::settings.cert_file = a.c_str();
    config::settings.key_file = ak.c_str();
    config::settings.second_cert_file = b.c_str();
    config::settings.second_key_file = bk.c_str();
    char problem[512] = "";
    EXPECT_FALSE(tls_prepare_shared_context(problem, sizeof problem));
    EXPECT_EQ(std::string(problem), "SSL: second certificate has the first one's key type: " + b);
}

}  // namespace
}  // namespace tollmar::channel
