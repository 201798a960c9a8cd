// UIDL and its unique-ids.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cmd_fixture.hpp"
#include "session/commands.hpp"

namespace tollmar::session {
namespace {

using test::capture;

// The reply to "UIDL" followed by text.
std::string uidl(const char* text) {
    const std::string line = std::string("UIDL") + text;
    return capture([&line](int fd) { cmd_uidl(fd, line.c_str()); });
}

// An independent MD5 of the first 255 bytes, printed as four little-endian
// 32-bit words.
std::string expected_id(const std::string& bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_length = 0;
    const std::size_t length = bytes.size() < 255 ? bytes.size() : 255;
    EXPECT_EQ(EVP_Digest(bytes.data(), length, md, &md_length, EVP_md5(), nullptr), 1);
    std::string id;
    for (int word = 0; word < 4; ++word) {
        for (int byte = 3; byte >= 0; --byte) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", md[4 * word + byte]);
            id += hex;
        }
    }
    return id;
}

class uidl_command : public test::message_folder {};

TEST_F(uidl_command, WorkedExample) {
    fill({"x", "y", "abc"});
    EXPECT_EQ(uidl(" 3\r\n"), "+OK 3 98500190b04fd23c7d3f96d6727fe128\r\n");
    EXPECT_EQ(capture([](int fd) { send_unique_id(fd, 2); }),
              "3 98500190b04fd23c7d3f96d6727fe128\r\n");
}

TEST_F(uidl_command, SingleAndListingForms) {
    fill({"From a\none\n", "From b\ntwo\n", "From c\nthree\n"});
    const std::string id1 = expected_id("From a\none\n");
    const std::string id2 = expected_id("From b\ntwo\n");
    const std::string id3 = expected_id("From c\nthree\n");
    const std::string listing = "+OK\r\n1 " + id1 + "\r\n2 " + id2 + "\r\n3 " + id3 + "\r\n.\r\n";
    const struct {
        const char* text;
        std::string reply;
    } cases[] = {
        {" 0\r\n", "-ERR no such message\r\n"},
        {" 4\r\n", "-ERR no such message\r\n"},
        {" 4294967298\r\n", "-ERR no such message\r\n"},
        {" 99999999999999999999\r\n", "-ERR no such message\r\n"},
        {" 2x\r\n", "+OK 2 " + id2 + "\r\n"},
        {"   1\r\n", "+OK 1 " + id1 + "\r\n"},
        {"3", "+OK 3 " + id3 + "\r\n"},
        {"\t2\r\n", listing},  // only blanks are skipped
        {" -1\r\n", listing},
        {" +1\r\n", listing},
        {" x\r\n", listing},
        {"\r\n", listing},
        {"", listing},
        {"    ", listing},
    };
    for (const auto& c : cases) EXPECT_EQ(uidl(c.text), c.reply) << c.text;

    maildrop::messages.entries[1].deleted = 1;
    EXPECT_EQ(uidl(" 2\r\n"), "-ERR no such message\r\n");
    EXPECT_EQ(uidl("\r\n"), "+OK\r\n1 " + id1 + "\r\n3 " + id3 + "\r\n.\r\n");
}

TEST_F(uidl_command, DigestCoversAtMostTheFirst255Bytes) {
    std::string long_text;
    for (int i = 0; long_text.size() < 600; ++i) long_text += "line " + std::to_string(i) + "\n";
    const std::string texts[] = {"",
                                 std::string(1, '\0'),
                                 long_text.substr(0, 254),
                                 long_text.substr(0, 255),
                                 long_text.substr(0, 256),
                                 long_text,
                                 long_text.substr(0, 255) + "different tail"};
    fill(std::vector<std::string>(std::begin(texts), std::end(texts)));
    std::string listing = "+OK\r\n";
    for (std::size_t i = 0; i < std::size(texts); ++i)
        listing += std::to_string(i + 1) + " " + expected_id(texts[i]) + "\r\n";
    listing += ".\r\n";
    EXPECT_EQ(uidl("\r\n"), listing);
    // Messages longer than 255 bytes share the id of their first 255.
    EXPECT_EQ(expected_id(texts[3]), expected_id(texts[5]));
    EXPECT_EQ(uidl(" 4\r\n").substr(6), uidl(" 6\r\n").substr(6));
    EXPECT_NE(expected_id(texts[2]), expected_id(texts[3]));
}

TEST_F(uidl_command, UnreadableSpoolFile) {
    fill({"From a\none\n", "From b\ntwo\n", "From c\nthree\n"});
    const std::string id1 = expected_id("From a\none\n");
    const std::string id3 = expected_id("From c\nthree\n");
    // First a spool file that cannot be opened, then one that cannot be read.
    for (const char* bad : {"/nonexistent-folder/spool", "/proc/self/mem"}) {
        char saved[256];
        std::snprintf(saved, sizeof saved, "%s", spool_path(1));
        std::snprintf(spool_path(1), sizeof saved, "%s", bad);
        // The single form gets a whole error line, never a dangling "+OK ".
        EXPECT_EQ(uidl(" 2\r\n"), "-ERR [SYS/TEMP] failed to read message\r\n") << bad;
        EXPECT_EQ(uidl("\r\n"), "+OK\r\n1 " + id1 + "\r\n3 " + id3 + "\r\n.\r\n") << bad;
        EXPECT_EQ(capture([](int fd) { send_unique_id(fd, 1); }), "") << bad;
        std::snprintf(spool_path(1), sizeof saved, "%s", saved);
    }
}

TEST_F(uidl_command, RemovedSpoolFileHasTheIdOfAnEmptyMessage) {
    fill({"From a\none\n"});
    ASSERT_EQ(unlink(spool_path(0)), 0);
    EXPECT_EQ(uidl(" 1\r\n"), "+OK 1 " + expected_id("") + "\r\n");
    EXPECT_EQ(read_file(spool_path(0)), "");
}

TEST_F(uidl_command, IndexOutsideTheTableSendsNothing) {
    fill({"abc"});
    EXPECT_EQ(capture([](int fd) {
                  send_unique_id(fd, -1);
                  send_unique_id(fd, 1);
              }),
              "");
}

}  // namespace
}  // namespace tollmar::session
