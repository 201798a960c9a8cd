#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include <xxhash.h>

#include "maildrop/content_digest.hpp"

#include "maildrop/index.hpp"
#include "maildrop/lock.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/scan_record.hpp"
#include "maildrop/seams.hpp"
#include "maildrop/served_maildrop.hpp"
#include "maildrop/unique_ids.hpp"
#include "maildrop/update.hpp"
#include "maildrop_fixture.hpp"

namespace tollmar::test {
namespace {

using tollmar::maildrop::scan_maildrop;

// True when name is folder + "/.tollmar_<pid>_<digits>_" + six characters
// (mkstemp's letters and digits, or the X characters a failed call left).
bool is_spool_name(const std::string& name, const std::string& folder) {
    const std::string head = folder + "/.tollmar_" + std::to_string(getpid()) + "_";
    if (name.compare(0, head.size(), head) != 0) return false;
    std::size_t at = head.size();
    const std::size_t digits = at;
    while (at < name.size() && std::isdigit(static_cast<unsigned char>(name[at]))) ++at;
    if (at == digits || at >= name.size() || name[at] != '_') return false;
    const std::string tail = name.substr(at + 1);
    if (tail.size() != 6) return false;
    for (char c : tail)
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

std::string repeat(char c, std::size_t n) {
    return std::string(n, c);
}

struct scan_case {
    const char* name;
    std::string maildrop;
    std::vector<scanned_message> expected;
};

std::vector<scan_case> scan_cases() {
    const std::string long_from = "From " + repeat('b', 4095) + "\n";  // 4101 bytes
    const std::string split_line = repeat('x', 4095) + "From c\n";     // splits at 4095
    const std::string forged =
        repeat('v', 4095) + "From evil@x Mon Jan  1 00:00:00 2024\nSubject: forged\n\nbody\n\n";
    return {
        {"nine bytes", "From a\nx\n", {{"From a\nx\n", 9, 3}}},
        {"crlf", "From a\r\nx\r\n", {{"From a\r\nx\r\n", 11, 3}}},
        {"two messages",
         "From a\nx\n\nFrom b\ny\n",
         {{"From a\nx\n\n", 10, 5}, {"From b\ny\n", 9, 3}}},
        {"no final line end", "From a\nxyz", {{"From a\nxyz", 10, 5}}},
        {"six bytes alone", "From a", {{"From a", 6, 0}}},
        {"quoted from", "From a\n>From b\n", {{"From a\n>From b\n", 15, 9}}},
        {"lowercase from", "From a\nfrom b\n", {{"From a\nfrom b\n", 14, 8}}},
        {"from without blank", "From a\nFromage\n", {{"From a\nFromage\n", 15, 9}}},
        {"last line is a from line",
         "From a\nx\nFrom x\n",
         {{"From a\nx\n", 9, 3}, {"From x\n", 7, 0}}},
        {"from in last chunk without line end", "From a\nFrom b", {{"From a\nFrom b", 13, 8}}},
        {"stray cr", "From a\na\rb\n", {{"From a\na\rb\n", 11, 5}}},
        {"nul byte", std::string("From a\n\0x\n", 10), {{std::string("From a\n\0x\n", 10), 10, 4}}},
        {"crlf from lines", "From a\r\nFrom b\r\n", {{"From a\r\n", 8, 0}, {"From b\r\n", 8, 0}}},
        {"first line longer than a chunk",
         "From " + repeat('a', 5000) + "\n",
         {{"From " + repeat('a', 5000) + "\n", 5006, 0}}},
        {"long from line without cr is no boundary",
         "From a\n" + long_from,
         {{"From a\n" + long_from, 4108, 4102}}},
        {"long from line with cr in its first chunk is a boundary",
         "From a\nFrom \r" + repeat('b', 4094) + "\n",
         {{"From a\n", 7, 0}, {"From \r" + repeat('b', 4094) + "\n", 4101, 0}}},
        // A "From " that only a chunk boundary puts at the start of a chunk
        // is inside a line: body text, never a message of its own.
        {"from at the 4096th byte of a line is body text",
         "From a\n" + split_line,
         {{"From a\n" + split_line, 4109, 4103}}},
        {"forged headers behind a long body line stay in the message",
         "From a\n" + forged + "From b\n",
         {{"From a\n" + forged, 7 + static_cast<long long>(forged.size()),
           static_cast<long long>(forged.size()) + 5},
          {"From b\n", 7, 0}}},
        {"from at the start of the third chunk of a line",
         "From a\n" + repeat('q', 2 * 4095) + "From c\n",
         {{"From a\n" + repeat('q', 2 * 4095) + "From c\n", 8204, 8198}}},
        {"line of exactly one chunk",
         "From a\n" + repeat('y', 4094) + "\nFrom d\n",
         {{"From a\n" + repeat('y', 4094) + "\n", 4102, 4096}, {"From d\n", 7, 0}}},
        {"full last chunk without line end can begin a message",
         "From a\nFrom \r" + repeat('z', 4089),
         {{"From a\n", 7, 0}, {"From \r" + repeat('z', 4089), 4095, 0}}},
    };
}

TEST_F(MaildropTest, ScanSplitsMessagesAtFromLineChunks) {
    for (const scan_case& c : scan_cases()) {
        SCOPED_TRACE(c.name);
        write_file(mbox, c.maildrop);
        ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
        EXPECT_EQ(scanned_messages(), c.expected);
        EXPECT_EQ(read_file(mbox), c.maildrop);  // the scan never writes
        tollmar::maildrop::remove_spool_files(messages);
        EXPECT_TRUE(list_folder(spool).empty());
    }
}

// Served in place, the table is the one the spool copies give, whether the
// scan reads the whole maildrop or an index covers its first part (wherever
// that part ends: at a message start the rest is read on from there,
// anywhere else the index is set aside) and the ids count the messages
// before the index's end.
struct table_row {
    scanned_message message;
    std::string id;
    bool operator==(const table_row&) const = default;
};

std::vector<table_row> table_rows() {
    std::vector<table_row> rows;
    const std::vector<scanned_message> all = scanned_messages();
    for (std::size_t i = 0; i < all.size(); ++i) {
        char id[maildrop::unique_id_capacity];
        maildrop::format_unique_id(messages.entries[i], id);
        rows.push_back({all[i], id});
    }
    return rows;
}

// One session served in place: its table, and the index it leaves behind.
std::vector<table_row> in_place_session(const std::string& drop) {
    EXPECT_TRUE(maildrop::lock_maildrop(drop.c_str(), ::geteuid(), ::getegid()));
    EXPECT_TRUE(maildrop::scan_maildrop_in_place(messages, drop.c_str()));
    std::vector<table_row> rows = table_rows();
    maildrop::write_index_at_end(messages, drop.c_str());
    maildrop::close_served_maildrop(messages);
    maildrop::release_message_table(messages);
    maildrop::unlock_maildrop(drop.c_str());
    return rows;
}

TEST_F(MaildropTest, InPlaceTableIsTheSpoolTableWhereverTheIndexEnds) {
    std::vector<scan_case> cases = scan_cases();
    const std::string twin = "From r@x Mon Jan  1 00:00:00 2024\n" + repeat('h', 300) + "\n";
    cases.push_back({"twins across the index's end",
                     twin + "\none\n" + twin + "\ntwo\n" + twin + "\none\n" + twin + "\ntwo\n",
                     {}});
    for (const scan_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(mbox, c.maildrop);
        ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
        const std::vector<table_row> expected = table_rows();
        maildrop::remove_spool_files(messages);
        maildrop::release_message_table(messages);
        EXPECT_EQ(in_place_session(mbox), expected);
        EXPECT_EQ(in_place_session(mbox), expected);  // from the index alone
        // Every line start, and a few places inside lines.
        std::vector<std::size_t> ends;
        for (std::size_t at = 1; at < c.maildrop.size(); ++at)
            if (c.maildrop[at - 1] == '\n' || at % 1000 == 0) ends.push_back(at);
        std::vector<std::size_t> starts;
        std::size_t at = 0;
        for (const table_row& row : expected) {
            starts.push_back(at);
            at += static_cast<std::size_t>(row.message.spool_length);
        }
        for (const std::size_t end : ends) {
            SCOPED_TRACE(end);
            ::unlink((mbox + ".tollmar-index").c_str());
            write_file(mbox, c.maildrop.substr(0, end));
            const std::vector<table_row> before = in_place_session(mbox);
            append_file(mbox, c.maildrop.substr(end));
            logged.clear();
            ASSERT_EQ(in_place_session(mbox), expected);
            // Read on from the index's end exactly when a message starts
            // there and the messages before it are the same.
            const bool read_on = std::find(starts.begin(), starts.end(), end) != starts.end() &&
                                 std::equal(before.begin(), before.end(), expected.begin(),
                                            [](const table_row& a, const table_row& b) {
                                                return a.message == b.message;
                                            });
            EXPECT_EQ(logged_containing(LOG_WARNING, "ignoring maildrop index"), !read_on);
        }
        ::unlink((mbox + ".tollmar-index").c_str());
    }
}

// The index names its maildrop by the inode, as the journal does: each
// client mount of a network or FUSE file system has a device number of its
// own, so an index written through one host's mount must serve a login
// through another's. An index of another inode is set aside.
std::uint64_t get_le64(const std::string& bytes, std::size_t at) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

void put_le64(std::string& bytes, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
}

// The index file with its recorded device and inode replaced and its check
// value made right again.
void forge_index_identity(const std::string& path, std::uint64_t device, std::uint64_t inode) {
    std::string index = read_file(path);
    ASSERT_GE(index.size(), 80u);
    put_le64(index, 8, device);
    put_le64(index, 16, inode);
    const std::size_t whole = 80 + get_le64(index, 64) * 44 + get_le64(index, 72) * 16 + 16;
    ASSERT_LE(whole, index.size());
    XXH128_canonical_t check;
    XXH128_canonicalFromHash(&check, XXH3_128bits(index.data(), whole - 16));
    index.replace(whole - 16, 16, reinterpret_cast<const char*>(check.digest), 16);
    write_file(path, index);
}

TEST_F(MaildropTest, IndexServesThroughAnotherMountAndNotAnotherInode) {
    std::string drop;
    for (char tag : std::string("abcd"))
        drop += std::string("From ") + tag + "@x Mon Jan  1 00:00:00 2024\n\n" +
                std::string(1000, tag) + "\n\n";
    const std::string index = mbox + ".tollmar-index";
    struct identity_case {
        const char* name;
        int device_delta, inode_delta;
        bool served_from_index;
    };
    const identity_case cases[] = {
        {"another mount's device", 1, 0, true},
        {"another inode", 0, 1, false},
    };
    for (const identity_case& c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(index.c_str());
        write_file(mbox, drop);
        const std::vector<table_row> expected = in_place_session(mbox);
        const struct stat st = stat_of(mbox);
        forge_index_identity(index, static_cast<std::uint64_t>(st.st_dev) + c.device_delta,
                             static_cast<std::uint64_t>(st.st_ino) + c.inode_delta);
        ASSERT_EQ(::chmod(index.c_str(), 0600), 0);
        logged.clear();
        EXPECT_EQ(in_place_session(mbox), expected);
        EXPECT_EQ(logged_containing(LOG_WARNING, "ignoring maildrop index: " + index +
                                                     ": it is not this maildrop's"),
                  !c.served_from_index);
        EXPECT_EQ(logged.empty(), c.served_from_index);
    }
}

// The update trusts the maildrop's bytes only through this digest: the one
// the scan keeps must be the one digest_range computes from the file again,
// and a change of a single byte must change it.
TEST_F(MaildropTest, ScanDigestIsTheDigestOfTheScannedBytes) {
    const std::string drop =
        "From a@x Mon Jan  1 00:00:00 2024\n\none\n\n"
        "From b@x Mon Jan  1 00:00:00 2024\n\n" +
        std::string(200000, 'b') + "\n";
    write_file(mbox, drop);
    ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
    EXPECT_EQ(messages.scan.length, static_cast<std::int64_t>(drop.size()));
    unsigned char scanned[maildrop::detail::content_digest_size];
    std::memcpy(scanned, messages.scan.digest, sizeof scanned);
    maildrop::remove_spool_files(messages);

    std::string changed = drop;
    changed[drop.size() / 2] = 'c';
    for (const auto& [text, same] : {std::pair{drop, true}, std::pair{changed, false}}) {
        write_file(mbox, text);
        const int fd = ::open(mbox.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        unsigned char again[maildrop::detail::content_digest_size];
        ASSERT_TRUE(
            maildrop::detail::digest_range(fd, static_cast<std::int64_t>(text.size()), again));
        ::close(fd);
        EXPECT_EQ(std::memcmp(scanned, again, sizeof again) == 0, same);
    }
}

// The digest is XXH3-128 whichever vector unit computes it: an update checks
// the maildrop against the digest of an earlier scan.
TEST_F(MaildropTest, ContentDigestIsXxh3Of128Bits) {
    std::mt19937 rng(7);
    for (const std::size_t length : {0, 1, 16, 17, 128, 129, 240, 241, 1024, 65536, 300001}) {
        SCOPED_TRACE(length);
        std::string text(length, '\0');
        for (char& c : text) c = static_cast<char>(rng());
        write_file(mbox, text);
        const int fd = ::open(mbox.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        unsigned char got[maildrop::detail::content_digest_size];
        ASSERT_TRUE(maildrop::detail::digest_range(fd, static_cast<std::int64_t>(length), got));
        ::close(fd);
        XXH128_canonical_t expected;
        XXH128_canonicalFromHash(&expected, XXH3_128bits(text.data(), text.size()));
        EXPECT_EQ(std::memcmp(got, expected.digest, sizeof got), 0);
    }
}

TEST_F(MaildropTest, ScanRefusesMaildropsThatDoNotStartWithFrom) {
    for (const std::string text : {"\nFrom a\n", "from a\nx\n", "hello", "Fro", "From"}) {
        SCOPED_TRACE(text);
        write_file(mbox, text);
        EXPECT_FALSE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
        EXPECT_EQ(messages.count, 0);
        EXPECT_EQ(read_file(mbox), text);
        EXPECT_TRUE(list_folder(spool).empty());
        // The stream lock was released: another process can take it at once.
        const int fd = ::open(mbox.c_str(), O_RDWR);
        EXPECT_EQ(::lockf(fd, F_TLOCK, 0), 0);
        ::close(fd);
    }
}

TEST_F(MaildropTest, MissingMaildropIsCreatedEmptyWithMode0600) {
    ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
    EXPECT_EQ(messages.count, 0);
    const struct stat st = stat_of(mbox);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, 0);
}

TEST_F(MaildropTest, EmptyMaildropHasNoMessagesAndGroupBitsAreCleared) {
    write_file(mbox, "");
    ASSERT_EQ(::chmod(mbox.c_str(), 0660), 0);
    ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
    EXPECT_EQ(messages.count, 0);
    EXPECT_TRUE(list_folder(spool).empty());
    EXPECT_EQ(stat_of(mbox).st_mode & 07777, 0600u);
}

TEST_F(MaildropTest, SpoolFilesAreNamedFromPidAndRandomAndAreDistinct) {
    write_file(mbox, "From a\nx\nFrom b\ny\nFrom c\nz\n");
    ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
    ASSERT_EQ(messages.count, 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(is_spool_name(spool_path(i), spool)) << spool_path(i);
        EXPECT_EQ(stat_of(spool_path(i)).st_mode & 07777, 0600u);
        EXPECT_EQ(messages.entries[i].deleted, 0u);
    }
    EXPECT_NE(spool_path(0), spool_path(1));
    EXPECT_NE(spool_path(1), spool_path(2));
    EXPECT_EQ(list_folder(spool).size(), 3u);
}

TEST_F(MaildropTest, MissingSpoolFolderFailsWithOneEntryAndTheLogLine) {
    const std::string missing = dir + "/no-such-folder";
    write_file(mbox, "From a\nx\n");
    EXPECT_FALSE(scan_maildrop(messages, mbox.c_str(), missing.c_str()));
    EXPECT_EQ(messages.count, 1);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].first, LOG_ERR);
    const std::string& line = logged[0].second;
    const std::string head = "Failed to open tmp file `";
    const std::string tail = "': No such file or directory";
    ASSERT_GT(line.size(), head.size() + tail.size()) << line;
    EXPECT_EQ(line.substr(0, head.size()), head);
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    EXPECT_TRUE(
        is_spool_name(line.substr(head.size(), line.size() - head.size() - tail.size()), missing))
        << line;
    // Clean-up over the failed entry removes nothing that is not ours.
    EXPECT_EQ(messages.entries[0].spool_name[0], '\0');
    tollmar::maildrop::remove_spool_files(messages);
}

TEST_F(MaildropTest, SpoolFolderNameTooLongFailsWithoutACutName) {
    const std::string long_folder = dir + "/" + repeat('d', 240);
    ASSERT_EQ(::mkdir(long_folder.c_str(), 0700), 0);
    write_file(mbox, "From a\nx\n");
    EXPECT_FALSE(scan_maildrop(messages, mbox.c_str(), long_folder.c_str()));
    EXPECT_EQ(messages.count, 1);
    EXPECT_EQ(messages.entries[0].spool_name[0], '\0');
    EXPECT_TRUE(logged_containing(LOG_ERR, "File name too long"));
    EXPECT_TRUE(list_folder(long_folder).empty());
}

TEST_F(MaildropTest, UnsafeMaildropsAreRefused) {
    const std::string target = dir + "/target";
    write_file(target, "From a\nx\n");
    ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
    struct unsafe_case {
        const char* name;
        void (*make)(const std::string& mbox, const std::string& target);
    };
    const unsafe_case cases[] = {
        {"symbolic link",
         [](const std::string& m, const std::string& t) {
             ASSERT_EQ(::symlink(t.c_str(), m.c_str()), 0);
         }},
        {"hard link", [](const std::string& m,
                         const std::string& t) { ASSERT_EQ(::link(t.c_str(), m.c_str()), 0); }},
        {"folder",
         [](const std::string& m, const std::string&) { ASSERT_EQ(::mkdir(m.c_str(), 0700), 0); }},
    };
    for (const unsafe_case& c : cases) {
        SCOPED_TRACE(c.name);
        logged.clear();
        c.make(mbox, target);
        EXPECT_FALSE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
        EXPECT_EQ(messages.count, 0);
        EXPECT_TRUE(list_folder(spool).empty());
        EXPECT_EQ(read_file(target), "From a\nx\n");
        EXPECT_EQ(stat_of(target).st_mode & 07777, 0644u);
        EXPECT_TRUE(logged_containing(LOG_ERR, "refusing maildrop: " + mbox));
        remove_tree(mbox);
    }
}

int reads_before_failure = 0;
int reads_seen = 0;
ssize_t failing_read(int fd, void* buf, size_t count) {
    if (++reads_seen > reads_before_failure) {
        errno = EIO;
        return -1;
    }
    return ::read(fd, buf, count < 100 ? count : 100);
}

TEST_F(MaildropTest, ReadErrorOnTheMaildropFailsTheScanWithoutRetrying) {
    write_file(mbox, "From a\nx\nFrom b\n" + repeat('y', 1000) + "\n");
    for (int before : {0, 1, 3}) {
        SCOPED_TRACE(before);
        reads_before_failure = before;
        reads_seen = 0;
        tollmar::maildrop::detail::read_call = failing_read;
        EXPECT_FALSE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
        EXPECT_EQ(reads_seen, before + 1);
        EXPECT_TRUE(logged_containing(LOG_ERR,
                                      "failed to read maildrop: " + mbox + ": Input/output error"));
        tollmar::maildrop::remove_spool_files(messages);
        tollmar::maildrop::release_message_table(messages);
    }
}

TEST_F(MaildropTest, ManyMessagesAndHugeLines) {
    std::string text;
    const int count = 10000;
    for (int i = 0; i < count; ++i) text += "From " + std::to_string(i) + "\n";
    text += "From huge\n" + repeat('h', 3 * 1024 * 1024) + "\n";
    write_file(mbox, text);
    ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
    ASSERT_EQ(messages.count, count + 1);
    EXPECT_EQ(messages.entries[1234].spool_length, 10);
    EXPECT_EQ(read_file(spool_path(1234)), "From 1234\n");
    EXPECT_EQ(messages.entries[count].spool_length, 10 + 3 * 1024 * 1024 + 1);
    EXPECT_EQ(messages.entries[count].size, 3 * 1024 * 1024 + 2);
}

// What RETR sends of a message, counted byte by byte: everything after the
// separator line, a CR more for every LF without one, and CR LF after a last
// line without a line end.
long long reference_size(const std::string& message) {
    const std::size_t separator = message.find('\n');
    if (separator == std::string::npos) return 0;
    long long size = 0;
    bool line_start = true;
    for (std::size_t i = separator + 1; i < message.size(); ++i) {
        size += message[i] == '\n' && (line_start || message[i - 1] != '\r') ? 2 : 1;
        line_start = message[i] == '\n';
    }
    return line_start ? size : size + 2;
}

// The straightforward reading that the block reader must match exactly:
// fgets into a 4096-byte buffer, chunk lengths taken from the stream position.
std::vector<scanned_message> reference_scan(const std::string& path) {
    std::vector<scanned_message> out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    char buf[4096];
    long before = 0;
    bool first = true;
    bool line_start = true;  // the previous fgets ended a line
    while (std::fgets(buf, sizeof buf, f) != nullptr) {
        const long after = std::ftell(f);
        const std::size_t n = static_cast<std::size_t>(after - before);
        before = after;
        const bool lf = std::memchr(buf, '\n', n) != nullptr;
        const bool cr = std::memchr(buf, '\r', n) != nullptr;
        const bool from = line_start && n >= 5 && std::memcmp(buf, "From ", 5) == 0;
        line_start = buf[n - 1] == '\n';
        if (first) {
            if (!from) break;
            out.push_back({std::string(buf, n), 0, 0});
            first = false;
            continue;
        }
        if (n < 4095 && buf[n - 1] != '\n') {
            out.back().bytes.append(buf, n);
            break;
        }
        if (from && (cr || lf)) {
            out.back().spool_length = static_cast<long long>(out.back().bytes.size());
            out.back().size = reference_size(out.back().bytes);
            out.push_back({"", 0, 0});
        }
        out.back().bytes.append(buf, n);
    }
    std::fclose(f);
    if (!out.empty()) {
        out.back().spool_length = static_cast<long long>(out.back().bytes.size());
        out.back().size = reference_size(out.back().bytes);
    }
    return out;
}

std::string generated_maildrop(unsigned seed) {
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::string text = "From first\n";
    const int lines = 200 + pick(300);
    for (int i = 0; i < lines; ++i) {
        switch (pick(9)) {
            case 0:
                text += "From sender " + std::to_string(i) + "\n";
                break;
            case 1:
                text += "From crlf\r\n";
                break;
            case 2:
                text += std::string(4090 + pick(12), 'L') + "From split\n";
                break;
            case 3:
                text += std::string(4095 * (1 + pick(2)), 'e') + "\n";
                break;
            case 4:
                text += "a\rb\n";
                break;
            case 5:
                text += std::string("nul\0byte\n", 9);
                break;
            case 6:
                text += ">From quoted\n";
                break;
            case 7:
                text += "From " + std::string(4100 + pick(100), 'w') + (pick(2) ? "\r\n" : "\n");
                break;
            default:
                text += "body line " + std::to_string(pick(1000)) + "\n";
                break;
        }
    }
    if (pick(2)) text += "tail without line end";
    return text;
}

TEST_F(MaildropTest, BlockReadingMatchesChunkByChunkReference) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(seed);
        const std::string text = generated_maildrop(seed);
        write_file(mbox, text);
        const auto expected = reference_scan(mbox);
        ASSERT_GT(expected.size(), 1u);
        ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
        const auto got = scanned_messages();
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], expected[i]) << i;
        std::string joined;
        for (const auto& m : got) joined += m.bytes;
        EXPECT_EQ(joined, text);
        tollmar::maildrop::remove_spool_files(messages);
    }
}

// Spool files are written in runs of whole blocks; what a write takes is all
// that counts as written, whatever it was asked to take.
std::size_t write_piece = 0;             // most bytes one write takes (0: all)
std::int64_t bytes_before_failure = -1;  // then the write fails (-1: never)
int failure_errno = 0;                   // 0: the write takes nothing, no error
std::int64_t bytes_taken = 0;
int writes_after_failure = 0;
int reads_after_failure = 0;
bool write_failed = false;

ssize_t limited_write(int fd, const void* buf, size_t count) {
    if (write_failed) ++writes_after_failure;
    if (bytes_before_failure >= 0 && bytes_taken >= bytes_before_failure) {
        write_failed = true;
        // A caller that keeps asking after a write that took nothing would
        // spin for ever: stop it here with an error the test does not expect.
        if (failure_errno == 0 && writes_after_failure > 100) {
            errno = ELOOP;
            return -1;
        }
        if (failure_errno == 0) return 0;
        errno = failure_errno;
        return -1;
    }
    std::size_t n = write_piece != 0 && count > write_piece ? write_piece : count;
    if (bytes_before_failure >= 0 &&
        bytes_taken + static_cast<std::int64_t>(n) > bytes_before_failure)
        n = static_cast<std::size_t>(bytes_before_failure - bytes_taken);  // short, then fails
    const ssize_t done = ::write(fd, buf, n);
    if (done > 0) bytes_taken += done;
    return done;
}

ssize_t counting_read(int fd, void* buf, size_t count) {
    if (write_failed) ++reads_after_failure;
    return ::read(fd, buf, count);
}

void limit_writes(std::size_t piece, std::int64_t before_failure, int error) {
    write_piece = piece;
    bytes_before_failure = before_failure;
    failure_errno = error;
    bytes_taken = 0;
    writes_after_failure = 0;
    reads_after_failure = 0;
    write_failed = false;
    tollmar::maildrop::detail::write_call = limited_write;
    tollmar::maildrop::detail::read_call = counting_read;
}

TEST_F(MaildropTest, ShortSpoolWritesStillCopyEveryByte) {
    for (const std::size_t piece : {1, 7, 4096, 65535}) {
        SCOPED_TRACE(piece);
        const std::string text = generated_maildrop(static_cast<unsigned>(piece));
        write_file(mbox, text);
        const auto expected = reference_scan(mbox);
        limit_writes(piece, -1, 0);
        ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
        EXPECT_EQ(bytes_taken, static_cast<std::int64_t>(text.size()));
        EXPECT_EQ(scanned_messages(), expected);
        tollmar::maildrop::remove_spool_files(messages);
        tollmar::maildrop::release_message_table(messages);
    }
}

// A spool file that did not take every byte of its message is never
// believed: the scan fails at once with the log line, and clean-up removes
// every file it made.
TEST_F(MaildropTest, FailedSpoolWriteFailsTheScanAtOnce) {
    std::string small_messages;
    for (int i = 0; i < 2000; ++i) small_messages += "From m" + std::to_string(i) + "\nbody\n\n";
    const std::string one_large = "From a\n" + repeat('l', 300000) + "\n";
    struct failure_case {
        const char* name;
        const std::string& maildrop;
        std::int64_t before_failure;
        int error;
        const char* logged_error;
    };
    const failure_case cases[] = {
        {"full, as the first message ends", small_messages, 3, ENOSPC, "No space left on device"},
        {"full, after many messages", small_messages, 9000, ENOSPC, "No space left on device"},
        {"full, inside a message longer than a block", one_large, 100000, ENOSPC,
         "No space left on device"},
        {"a write that takes nothing", one_large, 70000, 0, "Input/output error"},
        {"a write that takes nothing, at a message's end", small_messages, 40, 0,
         "Input/output error"},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.name);
        logged.clear();
        write_file(mbox, c.maildrop);
        limit_writes(0, c.before_failure, c.error);
        EXPECT_FALSE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
        EXPECT_TRUE(write_failed);
        EXPECT_TRUE(logged_containing(LOG_ERR, std::string("failed to write tmp file: ") + spool));
        EXPECT_TRUE(logged_containing(LOG_ERR, c.logged_error));
        EXPECT_EQ(writes_after_failure, 0);
        EXPECT_LE(reads_after_failure, 1);  // the one a refill had begun
        tollmar::maildrop::remove_spool_files(messages);
        EXPECT_TRUE(list_folder(spool).empty());
        tollmar::maildrop::release_message_table(messages);
        EXPECT_EQ(read_file(mbox), c.maildrop);
    }
}

}  // namespace
}  // namespace tollmar::test
