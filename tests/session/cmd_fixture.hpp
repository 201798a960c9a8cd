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
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "maildrop/message_table.hpp"
#include "maildrop/table_growth.hpp"
#include "maildrop/unique_ids.hpp"
#include "session/drop.hpp"
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
        session::drop.messages.count = 0;
        session::drop.messages.entries = nullptr;
    }

    void TearDown() override {
        std::free(session::drop.messages.entries);
        session::drop.messages.count = 0;
        session::drop.messages.entries = nullptr;
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
        session::drop.messages.entries = entries;
        // The table's own spool names follow a prefix the scan makes; these
        // follow one of the test's.
        std::snprintf(session::drop.messages.spool_prefix,
                      sizeof session::drop.messages.spool_prefix, "%s/.spool_", folder_.c_str());
        maildrop::detail::begin_unique_ids();
        for (std::size_t i = 0; i < texts.size(); ++i) {
            maildrop::message_entry& e = entries[i];
            set_spool_name(static_cast<int>(i), std::to_string(i));
            write_file(spool_path(static_cast<int>(i)).c_str(), texts[i]);
            e.spool_length = static_cast<std::int64_t>(texts[i].size());
            e.size = i < sizes.size() ? sizes[i] : e.spool_length;
            e.deleted = 0;
            session::drop.messages.count = static_cast<std::int32_t>(i + 1);
            maildrop::detail::start_message_id();
            ASSERT_TRUE(maildrop::detail::add_message_bytes(session::drop.messages, texts[i].data(),
                                                            texts[i].size()));
            ASSERT_TRUE(maildrop::detail::finish_message_id(session::drop.messages));
        }
        ASSERT_TRUE(maildrop::detail::end_unique_ids(session::drop.messages, true));
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

    // The path of entry `index`'s spool file ("" when it has none).
    static std::string spool_path(int index) {
        char path[maildrop::spool_path_capacity];
        maildrop::spool_path_of(session::drop.messages, session::drop.messages.entries[index],
                                path);
        return path;
    }

    // Gives entry `index` the name `name` (at most 7 characters, a '/' allowed
    // here) after the table's prefix.
    static void set_spool_name(int index, const std::string& name) {
        ASSERT_LT(name.size(), sizeof session::drop.messages.entries->spool_name) << name;
        maildrop::message_entry& e = session::drop.messages.entries[index];
        std::memset(e.spool_name, 0, sizeof e.spool_name);
        maildrop::detail::set_spool_name(e, name.c_str());
        ASSERT_EQ(spool_path(index), session::drop.messages.spool_prefix + name);
    }

    // Makes entry `index` name /proc/self/mem, through a link to /proc/self
    // that takes the place of a spool folder: reading this process's memory at
    // offset 0 fails with EIO, a regular file of our own that cannot be read.
    void name_unreadable_file(int index) {
        const std::string link = session::drop.messages.spool_prefix + std::string("p");
        if (access(link.c_str(), F_OK) != 0) {
            ASSERT_EQ(symlink("/proc/self", link.c_str()), 0) << std::strerror(errno);
        }
        set_spool_name(index, "p/mem");
        ASSERT_EQ(spool_path(index), link + "/mem");
    }

    std::string folder_;
};

}  // namespace tollmar::test
