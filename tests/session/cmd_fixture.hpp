// Test scaffolding for the message commands: a message table of real spool
// files in a private folder, and a connection whose other end is read into a
// string.
#pragma once
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "maildrop/message_table.hpp"
#include "maildrop/unique_ids.hpp"
#include "support/temp_folder.hpp"

namespace tollmar::test {

// Everything a handler writes to its descriptor, read by a thread so that a
// reply of any size fits.
inline std::string capture(const std::function<void(int fd)>& handler) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
        ADD_FAILURE() << "socketpair: " << std::strerror(errno);
        return {};
    }
    std::string received;
    std::thread reader([&received, fd = ends[1]] {
        char buf[65536];
        for (;;) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            received.append(buf, static_cast<std::size_t>(n));
        }
    });
    handler(ends[0]);
    shutdown(ends[0], SHUT_WR);
    reader.join();
    close(ends[0]);
    close(ends[1]);
    return received;
}

class message_folder : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = make_temp_folder("tollmar-cmd");
        ASSERT_FALSE(folder_.empty());
        maildrop::messages.count = 0;
        maildrop::messages.entries = nullptr;
    }

    void TearDown() override {
        std::free(maildrop::messages.entries);
        maildrop::messages.count = 0;
        maildrop::messages.entries = nullptr;
        // Whatever the test left in the folder, spool files it renamed away
        // from the table included.
        remove_temp_folder(folder_);
    }

    // One spool file per text; `size` is the file length unless given. The
    // unique-ids are digested as the scan digests them.
    void fill(const std::vector<std::string>& texts, const std::vector<std::int64_t>& sizes = {}) {
        auto* entries = static_cast<maildrop::message_entry*>(
            std::calloc(texts.size() + 1, sizeof(maildrop::message_entry)));
        ASSERT_NE(entries, nullptr);
        maildrop::messages.entries = entries;
        maildrop::detail::begin_unique_ids();
        for (std::size_t i = 0; i < texts.size(); ++i) {
            maildrop::message_entry& e = entries[i];
            set_spool_path(static_cast<int>(i), folder_ + "/.spool_" + std::to_string(i));
            write_file(e.spool_path, texts[i]);
            e.spool_length = static_cast<std::int64_t>(texts[i].size());
            e.size = i < sizes.size() ? sizes[i] : e.spool_length;
            e.deleted = 0;
            maildrop::messages.count = static_cast<std::int32_t>(i + 1);
            maildrop::detail::start_message_id();
            ASSERT_TRUE(maildrop::detail::add_message_bytes(texts[i].data(), texts[i].size()));
            ASSERT_TRUE(maildrop::detail::finish_message_id());
        }
        ASSERT_TRUE(maildrop::detail::end_unique_ids(true));
    }

    static void write_file(const char* path, const std::string& bytes) {
        std::FILE* f = std::fopen(path, "wb");
        ASSERT_NE(f, nullptr) << path << ": " << std::strerror(errno);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        ASSERT_EQ(std::fclose(f), 0);
    }

    static std::string read_file(const char* path) {
        std::string bytes;
        std::FILE* f = std::fopen(path, "rb");
        if (f == nullptr) return "<missing>";
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
        std::fclose(f);
        return bytes;
    }

    // Another path in the folder (TearDown empties the folder).
    std::string extra_path(const char* name) const { return folder_ + "/" + name; }

    static const char* spool_path(int index) {
        return maildrop::messages.entries[index].spool_path;
    }

    // Points entry `index` at path, kept here for the rest of the test.
    void set_spool_path(int index, const std::string& path) {
        paths_.push_back(path);
        maildrop::messages.entries[index].spool_path = paths_.back().c_str();
    }

    std::string folder_;
    std::deque<std::string> paths_;  // grows without moving what it holds
};

}  // namespace tollmar::test
