#include "session/commands.hpp"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "channel/line_io.hpp"
#include "maildrop/maildrop_path.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/served_maildrop.hpp"
#include "maildrop/unique_ids.hpp"
#include "session/msg_number.hpp"
#include "session/spool_reader.hpp"
#include "util/unique_fd.hpp"

namespace tollmar::session {

bool maildrop_dirty = false;

namespace {

constexpr const char* no_such_message = "-ERR no such message\r\n";
constexpr const char* invalid_arguments = "-ERR invalid arguments\r\n";

// Where the argument text of "LIST ", "RETR " and "DELE " begins; "TOP "
// is one character shorter, and UIDL's argument starts right after its word.
constexpr std::size_t long_word_end = 5;
constexpr std::size_t top_word_end = 4;
constexpr std::size_t uidl_word_end = 4;

maildrop::message_entry& entry_of(unsigned long number) {
    return maildrop::messages.entries[number - 1];
}

// Sends the next chunks of a spool file as lines, at most `lines` of them.
void send_chunks(int fd, spool_chunks& chunks, unsigned long lines) {
    const char* chunk = nullptr;
    std::size_t length = 0;
    for (unsigned long sent = 0; sent < lines && spool_next_chunk(chunks, &chunk, &length); ++sent)
        spool_send_line(fd, chunk, length);
}

// TOP's header: sends chunks until the blank line, which is not sent. Returns
// whether the blank line was found before the reading ended.
bool send_header(int fd, spool_chunks& chunks) {
    const char* chunk = nullptr;
    std::size_t length = 0;
    while (spool_next_chunk(chunks, &chunk, &length)) {
        if (chunk[0] == '\n' || chunk[0] == '\r') return true;
        spool_send_line(fd, chunk, length);
    }
    return false;
}

// RETR and TOP: a number that names no message is refused, and so is, when
// served in place, a message no longer where the scan found it (the session
// has nothing else to send it from); otherwise the reply starts (corked).
bool begin_message_reply(int fd, unsigned long number) {
    if (!msg_is_valid(number)) {
        channel::send_text(fd, no_such_message);
        return false;
    }
    if (maildrop::messages.in_place && !maildrop::message_in_place(entry_of(number))) {
        channel::send_text(fd, "-ERR [SYS/TEMP] message no longer in the maildrop\r\n");
        return false;
    }
    channel::cork_output();
    channel::send_text(fd, "+OK\r\n");
    return true;
}

// The message's bytes as chunks: its spool file (opened into `file`; path
// "" when the entry has none, which no file opens under), or its part of the
// maildrop when served in place. False when nothing can be read (logged).
bool open_message(unsigned long number, spool_chunks& chunks, util::unique_fd& file,
                  char (&path)[maildrop::spool_path_capacity]) {
    const maildrop::message_entry& entry = entry_of(number);
    if (maildrop::messages.in_place) {
        const char* maildrop_path = maildrop::maildrop_path();
        return maildrop_start(chunks, maildrop::served_maildrop(),
                              maildrop_path != nullptr ? maildrop_path : "", entry.offset,
                              entry.spool_length);
    }
    maildrop::spool_path_of(entry, path);
    file.reset(spool_open(path));
    if (file.get() < 0) return false;
    spool_start(chunks, file.get(), path);
    return true;
}

void end_message_reply(int fd) {
    channel::send_text(fd, ".\r\n");
    channel::flush_output(fd);
}

}  // namespace

void cmd_stat(int fd, const char*) {
    std::int64_t kept = 0;
    std::int64_t total = 0;
    for (std::int32_t i = 0; i < maildrop::messages.count; ++i) {
        const auto& entry = maildrop::messages.entries[i];
        if (entry.deleted != 0) continue;
        ++kept;
        total += entry.size;
    }
    char reply[64];
    std::snprintf(reply, sizeof reply, "+OK %" PRId64 " %" PRId64 "\r\n", kept, total);
    channel::send_text(fd, reply);
}

void cmd_list(int fd, const char* line) {
    unsigned long number = 0;
    char reply[64];
    if (msg_read_number(msg_argument(line, long_word_end), &number, nullptr)) {
        if (!msg_is_valid(number)) {
            channel::send_text(fd, no_such_message);
            return;
        }
        std::snprintf(reply, sizeof reply, "+OK %lu %ld\r\n", number,
                      static_cast<long>(entry_of(number).size));
        channel::send_text(fd, reply);
        return;
    }

    channel::cork_output();
    channel::send_text(fd, "+OK\r\n");
    for (std::int32_t i = 0; i < maildrop::messages.count; ++i) {
        const auto& entry = maildrop::messages.entries[i];
        if (entry.deleted != 0) continue;
        std::snprintf(reply, sizeof reply, "%lu %lu\r\n", static_cast<unsigned long>(i) + 1,
                      static_cast<unsigned long>(entry.size));
        channel::send_text(fd, reply);
    }
    channel::send_text(fd, ".\r\n");
    channel::flush_output(fd);
}

void cmd_retr(int fd, const char* line) {
    unsigned long number = 0;
    if (!msg_read_number(msg_argument(line, long_word_end), &number, nullptr)) {
        channel::send_text(fd, invalid_arguments);
        return;
    }
    if (!begin_message_reply(fd, number)) return;
    char path[maildrop::spool_path_capacity];
    util::unique_fd file;
    spool_chunks chunks;
    if (open_message(number, chunks, file, path)) send_chunks(fd, chunks, ~0UL);
    end_message_reply(fd);
}

void cmd_top(int fd, const char* line) {
    unsigned long number = 0;
    unsigned long lines = 0;
    const char* rest = nullptr;
    if (!msg_read_number(msg_argument(line, top_word_end), &number, &rest) ||
        !msg_read_number(rest, &lines, nullptr)) {
        channel::send_text(fd, invalid_arguments);
        return;
    }
    if (!begin_message_reply(fd, number)) return;
    char path[maildrop::spool_path_capacity];
    util::unique_fd file;
    spool_chunks chunks;
    if (open_message(number, chunks, file, path) && send_header(fd, chunks)) {
        channel::send_text(fd, "\r\n");
        send_chunks(fd, chunks, lines);
    }
    end_message_reply(fd);
}

void cmd_dele(int fd, const char* line) {
    maildrop_dirty = true;  // whatever the reply: a failed DELE still rewrites
    unsigned long number = 0;
    if (!msg_read_number(msg_argument(line, long_word_end), &number, nullptr)) {
        channel::send_text(fd, invalid_arguments);
        return;
    }
    // An already deleted message may be named again.
    const std::int32_t count = maildrop::messages.count;
    if (number < 1 || count <= 0 || number > static_cast<unsigned long>(count)) {
        channel::send_text(fd, no_such_message);
        return;
    }
    entry_of(number).deleted = 1;
    channel::send_text(fd, "+OK\r\n");
}

void cmd_noop(int fd, const char*) {
    channel::send_text(fd, "+OK\r\n");
}

void cmd_rset(int fd, const char*) {
    maildrop_dirty = false;
    for (std::int32_t i = 0; i < maildrop::messages.count; ++i)
        maildrop::messages.entries[i].deleted = 0;
    channel::send_text(fd, "+OK\r\n");
}

void cmd_uidl(int fd, const char* line) {
    const char* p = msg_argument(line, uidl_word_end);
    while (*p == ' ') ++p;
    if (*p >= '0' && *p <= '9') {
        unsigned long number = 0;
        msg_read_number(p, &number, nullptr);
        if (!msg_is_valid(number)) {
            channel::send_text(fd, no_such_message);
            return;
        }
        char id[maildrop::unique_id_capacity];
        maildrop::format_unique_id(entry_of(number), id);
        char reply[80];
        std::snprintf(reply, sizeof reply, "+OK %lu %s\r\n", number, id);
        channel::send_text(fd, reply);
        return;
    }

    channel::cork_output();
    channel::send_text(fd, "+OK\r\n");
    for (std::int32_t i = 0; i < maildrop::messages.count; ++i) {
        if (maildrop::messages.entries[i].deleted == 0) send_unique_id(fd, i);
    }
    channel::send_text(fd, ".\r\n");
    channel::flush_output(fd);
}

void send_unique_id(int fd, int index) {
    if (index < 0 || index >= maildrop::messages.count) return;
    char id[maildrop::unique_id_capacity];
    maildrop::format_unique_id(maildrop::messages.entries[index], id);
    char line[80];
    std::snprintf(line, sizeof line, "%u %s\r\n", static_cast<unsigned>(index) + 1, id);
    channel::send_text(fd, line);
}

}  // namespace tollmar::session
