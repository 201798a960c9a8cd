// Shared set-up for the maildrop tests: a fresh temporary folder per test
// (with a spool folder inside), reset process-wide state, captured log lines.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "maildrop/message_table.hpp"

namespace tollmar::test {

// The table the tests scan into, rewrite from and clean up (a session's
// mailbox holds its own); SetUp and TearDown empty it.
extern maildrop::message_table messages;

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
void append_file(const std::string& path, const std::string& bytes);
bool exists(const std::string& path);
struct stat stat_of(const std::string& path);
std::vector<std::string> list_folder(const std::string& path);
void remove_tree(const std::string& path);

// Log lines seen since the test began, as (priority, text).
extern std::vector<std::pair<int, std::string>> logged;
bool logged_containing(int priority, const std::string& part);

// The path of the spool file of the table's entry `index`, "" when it has none.
std::string spool_path(int index);

// The bytes of every spool file in table order, with their recorded numbers.
struct scanned_message {
    std::string bytes;
    long long spool_length;
    long long size;
    bool operator==(const scanned_message&) const = default;
};
std::vector<scanned_message> scanned_messages();

// A session rewrites only while it holds the dot-lock: takes it (unless this
// process holds it already) and runs the update.
bool update_holding_lock(const std::string& drop);

class MaildropTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string dir;    // per-test folder
    std::string spool;  // dir + "/spool", the spool temp folder
    std::string mbox;   // dir + "/mbox", not created
};

}  // namespace tollmar::test
