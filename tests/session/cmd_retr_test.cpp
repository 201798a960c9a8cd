// RETR: arguments, how spool lines go out, and spool files that misbehave.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "channel/line_io.hpp"
#include "cmd_fixture.hpp"
#include "session/commands.hpp"
#include "support/reference_wire.hpp"

namespace tollmar::session {
namespace {

using test::capture;

std::string retr(const char* line) {
    return capture([line](int fd) { cmd_retr(fd, line); });
}

// The whole reply: the status line, the message's wire form, the end line.
std::string reference_reply(const std::string& stored) {
    return "+OK\r\n" + test::reference_wire(test::without_separator(stored)) + ".\r\n";
}

class retr_command : public test::message_folder {};

TEST_F(retr_command, Arguments) {
    fill({"From a\none\n", "From b\ntwo\n", "From c\nthree\n"});
    session::drop.messages.entries[2].deleted = 1;
    const std::string first = "+OK\r\none\r\n.\r\n";
    const std::string second = "+OK\r\ntwo\r\n.\r\n";
    const struct {
        const char* line;
        std::string reply;
    } cases[] = {
        {"RETR x\r\n", "-ERR invalid arguments\r\n"},
        {"RETR \r\n", "-ERR invalid arguments\r\n"},
        {"RETR", "-ERR invalid arguments\r\n"},
        {"RETR 0\r\n", "-ERR no such message\r\n"},
        {"RETR 3\r\n", "-ERR no such message\r\n"},  // marked deleted
        {"RETR 4\r\n", "-ERR no such message\r\n"},
        {"RETR -1\r\n", "-ERR no such message\r\n"},
        {"RETR 4294967297\r\n", "-ERR no such message\r\n"},
        {"RETR 1\r\n", first},
        {"RETR 1 2\r\n", first},
        {"RETR 2abc\r\n", second},
        {"RETR  \t2\r\n", second},
    };
    for (const auto& c : cases) EXPECT_EQ(retr(c.line), c.reply) << c.line;
}

// Each stored line goes out as one line, its bytes as stored: the read
// pieces a long line arrives in never show.
TEST_F(retr_command, MessageLines) {
    const std::string x4095(4095, 'x');
    const std::string y905(905, 'y');
    const std::string field = "X-Pad: " + std::string(10000 - 7 - 1, 'p');
    // Cut into pieces a forged field would start a line of its own.
    const std::string forged = std::string(4095, 'z') + "Authentication-Results: forged";
    const struct {
        std::string stored;
        std::string sent;
    } cases[] = {
        {"...\n", "....\r\n"},
        {".\r\n", "..\r\n"},
        {"x\r\n", "x\r\n"},
        {"x\n", "x\r\n"},
        {"\n", "\r\n"},
        {"ab\rcd\n", "ab\rcd\r\n"},
        {"ab\r\r\n", "ab\r\r\n"},
        {x4095 + y905 + "\n", x4095 + y905 + "\r\n"},
        {x4095 + "\r\n", x4095 + "\r\n"},
        {x4095.substr(1) + "\r\n", x4095.substr(1) + "\r\n"},
        {field + "\nSubject: s\n", field + "\r\nSubject: s\r\n"},
        {forged + "\nbody\n", forged + "\r\nbody\r\n"},
        // Only the start of a real line is dot-stuffed.
        {"." + x4095.substr(1) + ".z\n", ".." + x4095.substr(1) + ".z\r\n"},
        {"last", "last\r\n"},
        {"last\r", "last\r\r\n"},
        {std::string("ab\0cd\n", 6), std::string("ab\0cd\r\n", 7)},
        {std::string("\0\n", 2), std::string("\0\r\n", 3)},
        {"\xff\xfe 8-bit\n", "\xff\xfe 8-bit\r\n"},
        {"\r\n", "\r\n"},
        {"\r", "\r\r\n"},
        {"", ""},
        {"From inside the body\n", "From inside the body\r\n"},
    };
    std::vector<std::string> stored;
    for (const auto& c : cases) stored.push_back("From x\n" + c.stored);
    // Without a separator line the message is sent whole.
    stored.push_back("Subject: no separator\n\nbody\n");
    stored.push_back("From");
    fill(stored);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string line = "RETR " + std::to_string(i + 1) + "\r\n";
        EXPECT_EQ(retr(line.c_str()), "+OK\r\n" + cases[i].sent + ".\r\n")
            << testing::PrintToString(cases[i].stored);
        EXPECT_EQ(retr(line.c_str()), reference_reply(stored[i]));
    }
    EXPECT_EQ(retr("RETR 23\r\n"), "+OK\r\nSubject: no separator\r\n\r\nbody\r\n.\r\n");
    EXPECT_EQ(retr("RETR 24\r\n"), "+OK\r\nFrom\r\n.\r\n");
}

// Reading in blocks, sending unchanged stretches at once and corking change
// how the reply is made, never what the client receives.
TEST_F(retr_command, RandomMessagesGoOutAsTheByteByByteReference) {
    std::mt19937 random(20240611);
    const char alphabet[] = {'a', 'b', '.', '.', '\n', '\n', '\r', ' ', '\0', 'F'};
    std::vector<std::string> texts;
    for (std::size_t length : {0, 1, 2, 100, 4094, 4095, 4096, 8191, 70000, 1 << 20}) {
        std::string text;
        while (text.size() < length) {
            // Long stretches without a line end reach the 4095-byte cut.
            if (random() % 8 == 0)
                text.append(random() % 5000, 'q');
            else
                text += alphabet[random() % sizeof alphabet];
        }
        text.resize(length);
        texts.push_back(texts.size() % 2 == 0 ? "From r\n" + text : text);
    }
    fill(texts);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string line = "RETR " + std::to_string(i + 1) + "\r\n";
        const std::string expected = reference_reply(texts[i]);
        const std::string got = retr(line.c_str());
        EXPECT_EQ(got.size(), expected.size()) << "message " << i + 1;
        EXPECT_TRUE(got == expected) << "message " << i + 1;
    }
}

// The spool file is read in 64 KiB blocks: what lies across the first block
// edge (a stuffed dot, a CR, a NUL, a cut long line, the end of the file)
// goes out as the byte-by-byte reference has it.
TEST_F(retr_command, SameBytesAcrossTheReadBlockEdge) {
    constexpr std::size_t edge = 64 * 1024;
    // n bytes of 100-byte lines; the last line shorter, ending in LF.
    const auto lines_of = [](std::size_t n) {
        std::string text;
        while (text.size() + 100 <= n) text += std::string(99, 'a') + "\n";
        if (text.size() < n) text += std::string(n - text.size() - 1, 'b') + "\n";
        return text;
    };
    const std::string unended = lines_of(edge - 10) + std::string(9, 'c');  // edge - 1 bytes
    const std::string texts[] = {
        lines_of(edge) + ".dot on the edge\n..two\n",
        lines_of(edge - 1) + "x.\n",
        unended + "\r\n.after\n",
        unended + "\n",
        unended + std::string("\0tail\n", 6),
        unended + "d",  // ends right at the edge without LF
        lines_of(edge) + "e",
        lines_of(edge - 2000) + "." + std::string(6000, 'l') + "\n.z",
        lines_of(edge - 4095) + std::string(4094, 'm') + "\n" + std::string(4095, 'n') + "\n",
        lines_of(3 * edge + 17) + std::string(3, '.') + "\r",
    };
    fill(std::vector<std::string>(std::begin(texts), std::end(texts)));
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        const std::string line = "RETR " + std::to_string(i + 1) + "\r\n";
        const std::string expected = reference_reply(texts[i]);
        const std::string got = retr(line.c_str());
        EXPECT_EQ(got.size(), expected.size()) << "message " << i + 1;
        EXPECT_TRUE(got == expected) << "message " << i + 1;
    }
}

TEST_F(retr_command, RemovedSpoolFileIsAnEmptyMessageAndComesBackEmpty) {
    fill({"From a\nbody\n"});
    ASSERT_EQ(unlink(spool_path(0).c_str()), 0);
    EXPECT_EQ(retr("RETR 1\r\n"), "+OK\r\n.\r\n");
    struct stat info;
    ASSERT_EQ(lstat(spool_path(0).c_str(), &info), 0) << "spool file was not recreated";
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_size, 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(retr_command, SpoolFileNotOpenedThroughASymlink) {
    fill({"From a\nbody\n"});
    const std::string target = extra_path("elsewhere");
    write_file(target.c_str(), "From evil\nsecret\n");
    ASSERT_EQ(unlink(spool_path(0).c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), spool_path(0).c_str()), 0);
    EXPECT_EQ(retr("RETR 1\r\n"), "+OK\r\n.\r\n");
    EXPECT_EQ(read_file(target.c_str()), "From evil\nsecret\n");

    // A dangling link is not followed to create its target either.
    const std::string missing = extra_path("never-created");
    ASSERT_EQ(unlink(spool_path(0).c_str()), 0);
    ASSERT_EQ(symlink(missing.c_str(), spool_path(0).c_str()), 0);
    EXPECT_EQ(retr("RETR 1\r\n"), "+OK\r\n.\r\n");
    EXPECT_EQ(access(missing.c_str(), F_OK), -1);
}

TEST_F(retr_command, ForeignOrSpecialFilesAreRefused) {
    fill({"From a\nbody\n", "From b\nbody\n"});
    // A FIFO planted under the name must neither stall nor feed the reply.
    ASSERT_EQ(unlink(spool_path(0).c_str()), 0);
    ASSERT_EQ(mkfifo(spool_path(0).c_str(), 0600), 0);
    EXPECT_EQ(retr("RETR 1\r\n"), "+OK\r\n.\r\n");
    // So must a file that belongs to somebody else (the tests run as root).
    ASSERT_EQ(chown(spool_path(1).c_str(), 65534, 65534), 0) << std::strerror(errno);
    EXPECT_EQ(retr("RETR 2\r\n"), "+OK\r\n.\r\n");
}

TEST_F(retr_command, UnopenableSpoolFileEndsTheReply) {
    fill({"From a\nbody\n"});
    // A spool folder that has gone: the open cannot even create the file.
    set_spool_name(0, "gone/s");
    ASSERT_EQ(access((folder_ + "/.spool_gone").c_str(), F_OK), -1);
    EXPECT_EQ(retr("RETR 1\r\n"), "+OK\r\n.\r\n");
}

TEST_F(retr_command, ReadErrorEndsTheReply) {
    fill({"From a\nbody\n"});
    ASSERT_EQ(unlink(spool_path(0).c_str()), 0);
    name_unreadable_file(0);
    EXPECT_EQ(retr("RETR 1\r\n"), "+OK\r\n.\r\n");
}

}  // namespace
}  // namespace tollmar::session
