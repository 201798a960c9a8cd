// What the scan reports of a message (LIST, STAT) against what RETR then
// sends, over real scanned maildrops: the size is exactly the octets sent
// before the terminating ".", stuffing dots left out, and undoing the line
// ends and the stuffing gives back the stored message without its separator.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "cmd_fixture.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/update.hpp"
#include "session/commands.hpp"

namespace tollmar::session {
namespace {

using test::capture;

std::string command(void (*handler)(int, const char*), const std::string& line) {
    return capture([&](int fd) { handler(fd, line.c_str()); });
}

// The lines of a multi-line reply's body, stuffing dots removed; false when
// the reply is not "+OK", lines ending in CR LF and the "." line.
bool reply_lines(const std::string& reply, std::vector<std::string>* lines) {
    const std::string head = "+OK\r\n", tail = ".\r\n";
    if (reply.size() < head.size() + tail.size() || reply.compare(0, head.size(), head) != 0 ||
        reply.compare(reply.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    std::size_t at = head.size();
    const std::size_t end = reply.size() - tail.size();
    while (at < end) {
        // A line holds no LF, so its first CR LF is its end.
        const std::size_t crlf = reply.find("\r\n", at);
        if (crlf == std::string::npos || crlf >= end) return false;
        std::string line = reply.substr(at, crlf - at);
        if (!line.empty() && line[0] == '.') {
            if (line.size() < 2 || line[1] != '.') return false;  // unstuffed dot
            line.erase(0, 1);
        }
        lines->push_back(line);
        at = crlf + 2;
    }
    return true;
}

// Octets the lines take on the wire without stuffing: each and its CR LF.
long long octets_of(const std::vector<std::string>& lines) {
    long long n = 0;
    for (const auto& line : lines) n += static_cast<long long>(line.size()) + 2;
    return n;
}

// The stored message's lines after its separator line: split at LF, a CR
// right before the LF being part of the line end.
std::vector<std::string> stored_lines(const std::string& message) {
    std::vector<std::string> lines;
    std::size_t at = message.find('\n');
    at = at == std::string::npos ? message.size() : at + 1;
    while (at < message.size()) {
        std::size_t lf = message.find('\n', at);
        const bool ended = lf != std::string::npos;
        if (!ended) lf = message.size();
        std::string line = message.substr(at, lf - at);
        if (ended && !line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        at = lf + 1;
    }
    return lines;
}

class wire_size : public test::message_folder {
protected:
    void TearDown() override {
        maildrop::remove_spool_files(session::drop.messages);
        maildrop::release_message_table(session::drop.messages);
        message_folder::TearDown();
    }

    // Scans a maildrop of these bytes; the stored bytes of each message.
    std::vector<std::string> scan(const std::string& bytes) {
        const std::string mbox = extra_path("mbox"), spool = extra_path("spool");
        write_file(mbox.c_str(), bytes);
        mkdir(spool.c_str(), 0700);
        maildrop::remove_spool_files(session::drop.messages);
        std::vector<std::string> stored;
        EXPECT_TRUE(maildrop::scan_maildrop(session::drop.messages, mbox.c_str(), spool.c_str()));
        for (std::int32_t i = 0; i < session::drop.messages.count; ++i)
            stored.push_back(read_file(spool_path(i).c_str()));
        return stored;
    }

    // RETR of every message agrees with LIST, STAT and the stored bytes.
    void check_every_message(const std::vector<std::string>& stored) {
        long long total = 0;
        for (std::size_t i = 0; i < stored.size(); ++i) {
            SCOPED_TRACE("message " + std::to_string(i + 1));
            const std::string n = std::to_string(i + 1);
            std::vector<std::string> lines;
            const std::string reply = command(cmd_retr, "RETR " + n + "\r\n");
            ASSERT_TRUE(reply_lines(reply, &lines)) << testing::PrintToString(reply);
            EXPECT_EQ(lines, stored_lines(stored[i]));
            const long long size = session::drop.messages.entries[i].size;
            EXPECT_EQ(size, octets_of(lines));
            EXPECT_EQ(command(cmd_list, "LIST " + n + "\r\n"),
                      "+OK " + n + " " + std::to_string(size) + "\r\n");
            total += size;
        }
        EXPECT_EQ(command(cmd_stat, "STAT\r\n"),
                  "+OK " + std::to_string(stored.size()) + " " + std::to_string(total) + "\r\n");
    }
};

TEST_F(wire_size, SizesAreTheOctetsRetrSends) {
    const std::string piece(4095, 'p');
    const std::string block(64 * 1024 - 8, 'k');
    const struct {
        const char* name;
        std::string maildrop;
    } cases[] = {
        {"lf", "From a\nSubject: one\n\nbody\n\nFrom b\nSubject: two\n\n.dot\n"},
        {"crlf", "From a\r\nSubject: one\r\n\r\nbody\r\n\r\nFrom b\r\nSubject: two\r\n\r\n.\r\n"},
        {"mixed line ends", "From a\nA: 1\r\nB: 2\n\r\nx\ry\r\n\n"},
        {"long lines",
         "From a\nX-Long: " + std::string(10000, 'l') + "\n\n" + std::string(9000, 'b') + "\n"},
        {"dot at a piece boundary", "From a\nH: x\n\n" + piece + ".\n." + piece + "\n"},
        {"dot at a block boundary", "From a\nH: x\n\n" + block + "\n.edge\n"},
        {"cr before a piece boundary", "From a\nH: x\n\n" + piece.substr(1) + "\r\nnext\n"},
        {"no final lf", "From a\nH: x\n\nlast line"},
        {"no final lf after cr", "From a\nH: x\n\nlast line\r"},
        {"empty body", "From a\nSubject: nothing\n\n"},
        {"header only", "From a\nSubject: nothing"},
        {"separator only", "From a\nFrom b\n"},
        {"nul and bare cr", std::string("From a\nH: x\n\nnul \0 inside\nbare \r inside\n", 40)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> stored = scan(c.maildrop);
        ASSERT_FALSE(stored.empty());
        std::string joined;
        for (const auto& m : stored) joined += m;
        EXPECT_EQ(joined, c.maildrop);  // the spool files hold the stored bytes
        check_every_message(stored);
    }
}

// Random maildrops of awkward lines: whatever the pieces and blocks, the
// client gets back each stored line, and the sizes agree.
TEST_F(wire_size, RandomMessagesComeBackAsStored) {
    std::mt19937 random(17);
    const auto pick = [&](unsigned n) { return random() % n; };
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        std::string text;
        for (int message = 0; message < 8; ++message) {
            text += "From sender" + std::to_string(message) + (pick(2) ? "\n" : "\r\n");
            for (unsigned line = pick(40); line > 0; --line) {
                switch (pick(8)) {
                    case 0:
                        text += std::string(4090 + pick(12), 'L') + "\n";
                        break;
                    case 1:
                        text += "." + std::string(pick(3), '.') + "\r\n";
                        break;
                    case 2:
                        text += std::string(pick(9000), 'x') + ".\n";
                        break;
                    case 3:
                        text += std::string("n\0l\rc\n", 6);
                        break;
                    case 4:
                        text += "\n";
                        break;
                    case 5:
                        text += "\r\n";
                        break;
                    case 6:
                        text += ">From quoted\n";
                        break;
                    default:
                        text += "Field: " + std::to_string(pick(1000)) + "\n";
                        break;
                }
            }
        }
        if (pick(2)) text += "no line end";
        check_every_message(scan(text));
    }
}

}  // namespace
}  // namespace tollmar::session
