// UIDL and its unique-ids.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>

#include "cmd_fixture.hpp"
#include "session/commands.hpp"
#include "support/unique_id_text.hpp"

namespace tollmar::session {
namespace {

using test::capture;

// The reply to "UIDL" followed by text.
std::string uidl(const char* text) {
    const std::string line = std::string("UIDL") + text;
    return capture([&line](int fd) { cmd_uidl(fd, line.c_str()); });
}

// The id of a message alone in its maildrop.
std::string expected_id(const std::string& bytes) {
    return test::plain_id(bytes);
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

    session::drop.messages.entries[1].deleted = 1;
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
    // Alone in its maildrop, each message has the digest of its first 255.
    for (const std::string& text : texts) {
        fill({text});
        EXPECT_EQ(uidl("\r\n"), "+OK\r\n1 " + expected_id(text) + "\r\n.\r\n");
        TearDown();
        SetUp();
    }
    EXPECT_EQ(expected_id(texts[3]), expected_id(texts[5]));
    EXPECT_NE(expected_id(texts[2]), expected_id(texts[3]));
}

// Messages 4 to 7 share their first 255 bytes: the first of them keeps that
// id, each later one has its own; both forms of the command say the same.
TEST_F(uidl_command, SharedHeadsListedAndSingleAlike) {
    std::string long_text;
    for (int i = 0; long_text.size() < 600; ++i) long_text += "line " + std::to_string(i) + "\n";
    const std::string head = long_text.substr(0, 255);
    fill({"x", "y", "abc", head, head + "tail", long_text, head + "tail"});
    const std::string listing = uidl("\r\n");
    std::set<std::string> ids;
    std::string from_single = "+OK\r\n";
    for (int n = 1; n <= 7; ++n) {
        const std::string single = uidl((" " + std::to_string(n) + "\r\n").c_str());
        ASSERT_EQ(single.compare(0, 4, "+OK "), 0) << single;
        from_single += single.substr(4);
        ids.insert(single.substr(single.find(' ', 4) + 1));
    }
    from_single += ".\r\n";
    EXPECT_EQ(listing, from_single);
    EXPECT_EQ(ids.size(), 7u);
    EXPECT_NE(listing.find("4 " + expected_id(head) + "\r\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("3 98500190b04fd23c7d3f96d6727fe128\r\n"), std::string::npos);
}

// The ids were digested while the maildrop was scanned: UIDL reads no spool
// file, so one that has gone or turned unreadable changes nothing.
TEST_F(uidl_command, IdsComeFromTheScanNotTheSpoolFiles) {
    fill({"From a\none\n", "From b\ntwo\n", "From c\nthree\n"});
    const std::string listing = "+OK\r\n1 " + expected_id("From a\none\n") + "\r\n2 " +
                                expected_id("From b\ntwo\n") + "\r\n3 " +
                                expected_id("From c\nthree\n") + "\r\n.\r\n";
    ASSERT_EQ(unlink(spool_path(0).c_str()), 0);
    name_unreadable_file(1);
    EXPECT_EQ(uidl("\r\n"), listing);
    EXPECT_EQ(uidl(" 1\r\n"), "+OK 1 " + expected_id("From a\none\n") + "\r\n");
    EXPECT_EQ(uidl(" 2\r\n"), "+OK 2 " + expected_id("From b\ntwo\n") + "\r\n");
    EXPECT_EQ(read_file(spool_path(0).c_str()), "<missing>");
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
