#include "maildrop_fixture.hpp"

#include <dirent.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "maildrop/lock.hpp"
#include "maildrop/lock_detail.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/scan_record.hpp"
#include "maildrop/seams.hpp"
#include "maildrop/served_maildrop.hpp"
#include "maildrop/spool_folder.hpp"
#include "maildrop/update.hpp"
#include "support/temp_folder.hpp"
#include "util/log.hpp"
#include "util/signals.hpp"

namespace tollmar::test {

maildrop::message_table messages = {};

std::vector<std::pair<int, std::string>> logged;

namespace {
void capture(int priority, const char* line) {
    logged.emplace_back(priority, line);
}
}  // namespace

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void append_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

struct stat stat_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

std::vector<std::string> list_folder(const std::string& path) {
    std::vector<std::string> names;
    DIR* d = ::opendir(path.c_str());
    if (d == nullptr) return names;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
    return names;
}

void remove_tree(const std::string& path) {
    tollmar::test::remove_temp_folder(path);
}

bool logged_containing(int priority, const std::string& part) {
    for (const auto& [p, line] : logged)
        if (p == priority && line.find(part) != std::string::npos) return true;
    return false;
}

std::string spool_path(int index) {
    char path[tollmar::maildrop::spool_path_capacity];
    tollmar::maildrop::spool_path_of(messages, messages.entries[index], path);
    return path;
}

std::vector<scanned_message> scanned_messages() {
    std::vector<scanned_message> out;
    for (int i = 0; i < messages.count; ++i) {
        const auto& e = messages.entries[i];
        std::string bytes;
        if (messages.in_place) {
            // Served in place: the message's part of the open maildrop.
            bytes.resize(static_cast<std::size_t>(e.spool_length));
            const ssize_t got = ::pread(tollmar::maildrop::served_maildrop(messages), bytes.data(),
                                        bytes.size(), static_cast<off_t>(e.offset));
            bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        } else {
            bytes = read_file(spool_path(i));
        }
        out.push_back({bytes, e.spool_length, e.size});
    }
    return out;
}

bool update_holding_lock(const std::string& drop) {
    using namespace tollmar::maildrop;
    if (!holds_maildrop_lock(drop.c_str())) {
        EXPECT_TRUE(lock_maildrop(drop.c_str(), ::geteuid(), ::getegid()));
    }
    return update_maildrop(messages, drop.c_str());
}

void MaildropTest::SetUp() {
    using namespace tollmar::maildrop;
    detail::reset_seams();
    detail::forget_lock_refresh();
    messages.scan.valid = false;
    release_message_table(messages);
    tollmar::util::pending_termination = 0;
    tollmar::util::pending_broken_pipe = 0;
    logged.clear();
    tollmar::util::log_observer = capture;
    dir = tollmar::test::make_temp_folder("tollmar-maildrop");
    ASSERT_FALSE(dir.empty());
    spool = dir + "/spool";
    mbox = dir + "/mbox";
    ASSERT_EQ(::mkdir(spool.c_str(), 0700), 0);
}

void MaildropTest::TearDown() {
    using namespace tollmar::maildrop;
    unlock_maildrop(mbox.c_str());
    remove_spool_files(messages);
    release_message_table(messages);
    remove_session_spool_folder();
    detail::reset_seams();
    remove_tree(dir);
}

}  // namespace tollmar::test
