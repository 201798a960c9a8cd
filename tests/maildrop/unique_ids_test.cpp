// Unique-ids as the scan forms them: the digest of the first 255 bytes, and
// for every later message sharing that digest an id of its own.
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "maildrop/message_table.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/unique_ids.hpp"
#include "maildrop/update.hpp"
#include "maildrop_fixture.hpp"
#include "support/unique_id_text.hpp"

namespace tollmar::test {
namespace {

using tollmar::maildrop::scan_maildrop;

std::string whole_id(const std::string& message, int occurrence) {
    return md5_words(message) + "." + std::to_string(occurrence);
}

std::vector<std::string> scanned_ids() {
    std::vector<std::string> ids;
    for (std::int32_t i = 0; i < messages.count; ++i) {
        char id[tollmar::maildrop::unique_id_capacity];
        tollmar::maildrop::format_unique_id(messages.entries[i], id);
        ids.emplace_back(id);
    }
    return ids;
}

// A report whose first 255 bytes are the same for every body: one sender,
// one second, the same leading headers.
std::string report(const std::string& body) {
    std::string head =
        "From cron@example.org Thu Dec 10 13:00:00 2026\n"
        "From: cron@example.org\nTo: ops@example.org\nSubject: nightly report\n"
        "Date: Thu, 10 Dec 2026 13:00:00 +0000\n";
    while (head.size() < 300) head += "X-Padding: the same for every report\n";
    return head + "\n" + body + "\n";
}

std::string other(int n) {
    return "From someone@example.org Thu Dec 10 13:00:00 2026\nSubject: " + std::to_string(n) +
           "\n\nbody " + std::to_string(n) + "\n";
}

bool well_formed(const std::string& id) {
    if (id.empty() || id.size() > 70) return false;
    for (unsigned char c : id)
        if (c < 0x21 || c > 0x7e) return false;
    return true;
}

class UniqueIdsTest : public MaildropTest {
protected:
    // Scans the messages as one maildrop and checks what every scan must
    // give: well-formed ids, no two alike, and the same again on a rescan.
    std::vector<std::string> scan(const std::vector<std::string>& texts) {
        std::string maildrop;
        for (const auto& t : texts) maildrop += t;
        write_file(mbox, maildrop);
        EXPECT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
        EXPECT_EQ(messages.count, static_cast<std::int32_t>(texts.size()));
        const std::vector<std::string> ids = scanned_ids();
        for (const auto& id : ids) EXPECT_TRUE(well_formed(id)) << id;
        EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());
        tollmar::maildrop::remove_spool_files(messages);
        EXPECT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
        EXPECT_EQ(scanned_ids(), ids) << "a second scan of the same maildrop";
        return ids;
    }
};

TEST_F(UniqueIdsTest, SharedHeadsGetIdsOfTheirOwn) {
    const std::string a = report("first body"), b = report("second body"), c = report("third body");
    const std::string small = "From a\nx\n";  // wholly inside its 255-byte head
    // The first 255 bytes of a head that spans several scan chunks.
    const std::string wide = "From a\nX-Wide: " + std::string(5000, 'w') + "\n\n";
    const struct {
        const char* name;
        std::vector<std::string> texts;
        std::vector<std::string> ids;
    } cases[] = {
        {"no sharing", {a, other(1), small}, {plain_id(a), plain_id(other(1)), plain_id(small)}},
        {"same head, other body", {a, b}, {plain_id(a), whole_id(b, 1)}},
        {"three sharing one head", {a, b, c}, {plain_id(a), whole_id(b, 1), whole_id(c, 1)}},
        {"exact copies", {a, a, a}, {plain_id(a), whole_id(a, 1), whole_id(a, 2)}},
        {"short exact copies", {small, small}, {plain_id(small), whole_id(small, 1)}},
        {"copies and others mixed",
         {other(1), a, other(2), b, a, b, other(3)},
         {plain_id(other(1)), plain_id(a), plain_id(other(2)), whole_id(b, 1), whole_id(a, 1),
          whole_id(b, 2), plain_id(other(3))}},
        {"heads spanning chunks",
         {wide + "one\n", wide + "two\n", wide + "one\n"},
         {plain_id(wide), whole_id(wide + "two\n", 1), whole_id(wide + "one\n", 1)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(scan(c.texts), c.ids);
    }
}

TEST_F(UniqueIdsTest, IdsStayWhileTheMaildropBeforeThemStays) {
    const std::string a = report("first body"), b = report("second body");
    const std::vector<std::string> before = scan({other(1), a, b});
    // New mail after them, some of it sharing their head, changes no id.
    const std::vector<std::string> after = scan({other(1), a, b, report("new"), a, other(2)});
    EXPECT_EQ(std::vector<std::string>(after.begin(), after.begin() + 3), before);
    EXPECT_EQ(after[3], whole_id(report("new"), 1));
    EXPECT_EQ(after[4], whole_id(a, 1));
    EXPECT_EQ(after[5], plain_id(other(2)));
}

TEST_F(UniqueIdsTest, OneCollisionAmongTenThousand) {
    const int count = 10000;
    std::vector<std::string> texts;
    for (int i = 0; i < count; ++i) texts.push_back(other(i));
    texts[7000] = report("early");
    texts[9000] = report("late");
    const std::vector<std::string> ids = scan(texts);
    ASSERT_EQ(ids.size(), texts.size());
    for (int i = 0; i < count; ++i) {
        if (i == 9000) continue;
        ASSERT_EQ(ids[i], plain_id(texts[i])) << i;
    }
    EXPECT_EQ(ids[9000], whole_id(texts[9000], 1));
}

// The ids clients already hold, written out: how the wire form of a message
// changes must never move them, or every client that keeps mail on the server
// would fetch it all again.
TEST_F(UniqueIdsTest, IdsOfAFixtureMaildropStayAsClientsKnowThem) {
    const std::vector<std::string> texts = {
        "From alice@example.org Thu Dec 10 13:00:00 2026\nFrom: alice@example.org\n"
        "Subject: hello\n\nbody\n\n",
        "From bob@example.org Thu Dec 10 13:01:00 2026\r\nSubject: crlf\r\n\r\n.dot\r\n",
        "From carol@example.org Thu Dec 10 13:02:00 2026\nX-Long: " + std::string(9000, 'l') +
            "\n\n" + std::string(5000, 'b') + "\n",
        report("first body"),
        report("second body"),
        "From dave@example.org Thu Dec 10 13:03:00 2026\nSubject: last\n\nno final line end",
    };
    const std::vector<std::string> pinned = {
        "cb5c14a6c45c1ed5f0d5df44e78583ff",   "8e18f247e1b14caf3e34e1b88ec11481",
        "559bb4f809df047124992da3672ff827",   "2d051922a8e35cdac0516d5adc011660",
        "1c4347dd2a3f490fed48b39a83def2ba.1", "b0e7792bec056887429fe2c1a5512d25",
    };
    EXPECT_EQ(scan(texts), pinned);
}

}  // namespace
}  // namespace tollmar::test
