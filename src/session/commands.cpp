#include "session/commands.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "channel/line_io.hpp"
#include "maildrop/served_maildrop.hpp"
#include "maildrop/unique_ids.hpp"
#include "maildrop/wire_form.hpp"
#include "session/drop.hpp"
#include "session/message_sender.hpp"
#include "session/msg_number.hpp"
#include "session/spool_reader.hpp"
#include "session/summary.hpp"
#include "util/unique_fd.hpp"

namespace tollmar::session {

maildrop::mailbox drop = {};
bool maildrop_dirty = false;

namespace {

constexpr const char* no_such_message = "-ERR no such message\r\n";
constexpr const char* invalid_arguments = "-ERR invalid arguments\r\n";

// Where the argument text of "LIST ", "RETR " and "DELE " begins; "TOP "
// is one character shorter, and UIDL's argument starts right after its word.
constexpr std::size_t long_word_end = 5;
constexpr std::size_t top_word_end = 4;
constexpr std::size_t uidl_word_end = 4;

// A number msg_is_valid (or DELE) has checked.
maildrop::message_entry& entry_of(unsigned long number) {
    return *maildrop::message_at(drop, number);
}

// The body of a RETR or TOP reply: the message's spool file in its wire
// form, or served in place its part of the maildrop. A spool file that cannot
// be opened sends nothing (logged).
void send_spool_file(int fd, const char* path, const maildrop::message_entry& entry,
                     std::uint64_t body_lines) {
    if (maildrop::served_in_place(drop)) {
        if (!send_message(fd, maildrop::served_maildrop(drop.messages), entry.offset,
                          entry.spool_length, body_lines))
            maildrop::log_served_read_failure(drop.path, errno);
        return;
    }
    const util::unique_fd file(spool_open(path));
    if (file.get() < 0) return;
    if (!send_message(fd, file.get(), 0, entry.spool_length, body_lines))
        log_spool_read_failure(path, errno);
}

// RETR and TOP: a number that names no message is refused, and so is, when
// served in place, a message no longer where the scan found it (the session
// has nothing else to send it from); otherwise the reply starts (corked) and
// path holds the message's spool path ("" when the entry has none, which no
// file opens under).
bool begin_message_reply(int fd, unsigned long number,
                         char (&path)[maildrop::spool_path_capacity]) {
    if (!msg_is_valid(number)) {
        channel::send_text(fd, no_such_message);
        return false;
    }
    if (maildrop::served_in_place(drop) &&
        !maildrop::message_in_place(drop.messages, drop.path, entry_of(number))) {
        channel::send_text(fd, "-ERR [SYS/TEMP] message no longer in the maildrop\r\n");
        return false;
    }
    channel::cork_output();
    channel::send_text(fd, "+OK\r\n");
    summary_message_begins();
    maildrop::spool_path_of(drop.messages, entry_of(number), path);
    return true;
}

void end_message_reply(int fd) {
    summary_message_ends();
    channel::send_text(fd, ".\r\n");
    channel::flush_output(fd);
}

}  // namespace

void cmd_stat(int fd, const char*) {
    std::int64_t kept = 0;
    std::int64_t total = 0;
    for (std::int32_t i = 1; i <= maildrop::message_count(drop); ++i) {
        const auto& entry = entry_of(static_cast<unsigned long>(i));
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
    for (std::int32_t i = 1; i <= maildrop::message_count(drop); ++i) {
        const auto& entry = entry_of(static_cast<unsigned long>(i));
        if (entry.deleted != 0) continue;
        std::snprintf(reply, sizeof reply, "%lu %lu\r\n", static_cast<unsigned long>(i),
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
    char path[maildrop::spool_path_capacity];
    if (!begin_message_reply(fd, number, path)) return;
    send_spool_file(fd, path, entry_of(number), maildrop::all_lines);
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
    char path[maildrop::spool_path_capacity];
    if (!begin_message_reply(fd, number, path)) return;
    send_spool_file(fd, path, entry_of(number), lines);
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
    maildrop::message_entry* entry = maildrop::message_at(drop, number);
    if (entry == nullptr) {
        channel::send_text(fd, no_such_message);
        return;
    }
    entry->deleted = 1;
    channel::send_text(fd, "+OK\r\n");
}

void cmd_noop(int fd, const char*) {
    channel::send_text(fd, "+OK\r\n");
}

void cmd_rset(int fd, const char*) {
    maildrop_dirty = false;
    for (std::int32_t i = 1; i <= maildrop::message_count(drop); ++i)
        entry_of(static_cast<unsigned long>(i)).deleted = 0;
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
    for (std::int32_t i = 1; i <= maildrop::message_count(drop); ++i) {
        if (entry_of(static_cast<unsigned long>(i)).deleted == 0) send_unique_id(fd, i - 1);
    }
    channel::send_text(fd, ".\r\n");
    channel::flush_output(fd);
}

void send_unique_id(int fd, int index) {
    const maildrop::message_entry* entry =
        index < 0 ? nullptr : maildrop::message_at(drop, static_cast<unsigned long>(index) + 1);
    if (entry == nullptr) return;
    char id[maildrop::unique_id_capacity];
    maildrop::format_unique_id(*entry, id);
    char line[80];
    std::snprintf(line, sizeof line, "%u %s\r\n", static_cast<unsigned>(index) + 1, id);
    channel::send_text(fd, line);
}

}  // namespace tollmar::session
