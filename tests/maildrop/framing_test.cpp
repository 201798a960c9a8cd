// The framing rule on its own: which chunks and which offsets start a
// message. The scan, the index and serving in place all ask these two
// functions, so a case that goes wrong here goes wrong everywhere at once.
#include "maildrop/framing.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/temp_folder.hpp"

namespace tollmar::maildrop {
namespace {

constexpr std::size_t limit = detail::chunk_limit;

TEST(Framing, WhichChunksStartAMessage) {
    const std::string long_cut = "From " + std::string(limit - 5, 'x');
    const std::string long_cut_cr = "From \r" + std::string(limit - 6, 'x');
    const struct {
        std::string chunk;
        bool starts;
    } cases[] = {
        {"From a@b Thu Dec 10 12:00:00 2026\n", true},
        {"From \n", true},
        {"From a\r\n", true},
        {"From", false},       // too short to hold the separator
        {"from a\n", false},   // the case matters
        {">From a\n", false},  // escaped by the agent
        {" From a\n", false},  // not at the line's start
        {"From a", false},     // cut short by the end of the file
        {long_cut, false},     // a line longer than a chunk, no CR
        {long_cut_cr, true},   // the same with a CR: the scan splits there
        {"From a\r", false},   // a CR, but cut short by the end, not the limit
    };
    for (const auto& c : cases) {
        EXPECT_EQ(chunk_starts_message(c.chunk.data(), c.chunk.size()), c.starts)
            << c.chunk.substr(0, 12);
        EXPECT_EQ(chunk_starts_message(c.chunk.data(), c.chunk.size(),
                                       c.chunk.find('\r') != std::string::npos),
                  c.starts)
            << c.chunk.substr(0, 12);
    }
}

TEST(Framing, WhichOffsetsStartAMessage) {
    const std::string folder = test::make_temp_folder("framing");
    const std::string path = folder + "/mbox";
    const std::string long_line(limit + 10, 'y');
    const std::string data = "From a\nbody\nFrom b\nx From c\n" + long_line + "From d\n" +
                             "From e" + long_line + "\nFrom f\r" + long_line + "\n";
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        ::close(fd);
    }
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const auto at = [&](const char* text) { return static_cast<std::int64_t>(data.find(text)); };
    EXPECT_TRUE(message_starts_at(fd, 0));
    EXPECT_TRUE(message_starts_at(fd, at("From b")));
    EXPECT_FALSE(message_starts_at(fd, at("From b") + 1));  // inside a line
    EXPECT_FALSE(message_starts_at(fd, at("From c")));      // not after a line end
    EXPECT_FALSE(message_starts_at(fd, at("body")));        // a line, but no separator
    EXPECT_FALSE(message_starts_at(fd, at("From d")));      // the end of a long line
    // A separator line longer than a chunk starts a message only with a CR
    // in its first chunk, as the scan reads it.
    EXPECT_FALSE(message_starts_at(fd, at("From e")));
    EXPECT_TRUE(message_starts_at(fd, at("From f")));
    EXPECT_FALSE(message_starts_at(fd, -1));
    EXPECT_FALSE(message_starts_at(fd, static_cast<std::int64_t>(data.size())));
    ::close(fd);
    test::remove_temp_folder(folder);
}

}  // namespace
}  // namespace tollmar::maildrop
