#include "maildrop/scan.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "maildrop/chunk_reader.hpp"
#include "maildrop/content_blocks.hpp"
#include "maildrop/content_digest.hpp"
#include "maildrop/file_io.hpp"
#include "maildrop/framing.hpp"
#include "maildrop/index.hpp"
#include "maildrop/journal.hpp"
#include "maildrop/lock.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/scan_record.hpp"
#include "maildrop/seams.hpp"
#include "maildrop/served_maildrop.hpp"
#include "maildrop/table_growth.hpp"
#include "maildrop/unique_ids.hpp"
#include "maildrop/wire_form.hpp"
#include "util/log.hpp"
#include "util/unique_fd.hpp"

namespace tollmar::maildrop {

namespace {

char chunk_buffer[65536];  // maildrop blocks, handed out as chunks

// The characters mkstemp fills in at the end of a name.
constexpr int mkstemp_tail = 6;

// The chunks of a message follow each other in the chunk buffer until the
// reader refills it, so they are written as one run then, or when the
// message ends: one write per block rather than one per line.
struct current_message {
    message_table* table;  // the table the messages join
    int fd;                // the spool file being written, or -1
    message_entry* entry;
    const char* held;  // chunks of this message not yet written
    std::size_t held_length;
    std::int64_t written;  // bytes this message's spool file has taken
    wire_state wire;       // the size: what RETR sends of the bytes written
    wire_counter size;
    bool failed;               // a write of held chunks failed (logged)
    const char* next_cr;       // see next_cr_from; nullptr: not looked for
    bool in_place;             // no spool files: the entries record offsets
    std::int64_t next_offset;  // where the next message starts in the maildrop
};

void log_spool_failure(const char* spool_path, int error) {
    util::log_line(LOG_ERR, "Failed to open tmp file `%s': %s", spool_path, std::strerror(error));
}

void log_spool_write_failure(const current_message& message, int error) {
    char spool_path[spool_path_capacity];
    spool_path_of(*message.table, *message.entry, spool_path);
    util::log_line(LOG_ERR, "%s: %s: %s", "failed to write tmp file", spool_path,
                   std::strerror(error));
}

void start_entry(current_message& message, message_entry* entry, int fd) {
    entry->deleted = 0;
    message.fd = fd;
    message.entry = entry;
    message.held_length = 0;
    message.written = 0;
    // Every message here begins with its separator line: it is what began it.
    wire_begin(message.wire, true, all_lines);
    message.size.octets = 0;
    detail::start_message_id();
}

bool begin_message(current_message& message) {
    message_entry* entry = detail::append_entry(*message.table);
    if (entry == nullptr) return false;
    if (message.in_place) {
        entry->offset = message.next_offset;
        start_entry(message, entry, -1);
        return true;
    }
    // "<prefix>XXXXXX", in the session's own folder (see spool_folder.hpp),
    // which goes with its files should this process die without its clean-up.
    char name[spool_path_capacity];
    const int n = std::snprintf(name, sizeof name, "%sXXXXXX", message.table->spool_prefix);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof name) {
        // A cut name has lost its X characters; unlinking it later could hit
        // a file that is not ours, so the entry keeps an empty name.
        log_spool_failure(name, ENAMETOOLONG);
        return false;
    }
    const int fd = mkstemp(name);
    if (fd < 0) {
        // The entry never learns the name: it names no file of ours (in a
        // shared folder it may name somebody else's), so clean-up must not
        // unlink it.
        log_spool_failure(name, errno);
        return false;
    }
    detail::set_spool_name(*entry, name + (n - mkstemp_tail));
    // The descriptor mkstemp returned is the file; never reopen it by name.
    start_entry(message, entry, fd);
    return true;
}

void log_id_failure() {
    util::log_line(LOG_ERR, "%s", "no memory for the unique-id index");
}

bool note_id_bytes(current_message& message) {
    if (detail::add_message_bytes(*message.table, message.held, message.held_length)) return true;
    log_id_failure();
    return false;
}

// Writes the held chunks into the spool file. Only bytes write_all saw
// through count as written, so a short or failed write never passes for a
// complete copy.
bool write_held(current_message& message) {
    if (message.held_length == 0) return true;
    bool ok = note_id_bytes(message);
    wire_take(message.wire, message.held, message.held_length, message.size);
    if (ok && !message.in_place &&
        !detail::write_all(message.fd, message.held, message.held_length)) {
        log_spool_write_failure(message, errno != 0 ? errno : EIO);
        ok = false;
    }
    if (!ok) {
        message.failed = true;
        return false;
    }
    message.written += static_cast<std::int64_t>(message.held_length);
    message.held_length = 0;
    return true;
}

// The chunk reader is about to reuse its buffer: positions in it go stale.
void write_before_refill(void* context) {
    auto& message = *static_cast<current_message*>(context);
    message.next_cr = nullptr;
    if ((message.fd >= 0 || message.in_place) && !message.failed) (void)write_held(message);
}

// Chunks arrive one right after the other (see before_refill), so holding
// one is extending the run.
void hold_chunk(current_message& message, const char* chunk, std::size_t length) {
    if (message.held_length == 0) message.held = chunk;
    message.held_length += length;
}

// Every held byte must reach the file before its length is believed: a
// spool file cut short would later be written back short.
bool finish_message(current_message& message) {
    const int fd = message.fd;
    bool ok = !message.failed && write_held(message);
    message.fd = -1;
    errno = 0;
    if (fd >= 0 && ::close(fd) != 0 && ok) {
        log_spool_write_failure(message, errno != 0 ? errno : EIO);
        ok = false;
    }
    if (!ok) return false;
    message.entry->spool_length = message.written;
    wire_finish(message.wire, message.size);
    message.entry->size = message.size.octets;
    message.next_offset += message.written;
    if (detail::finish_message_id(*message.table)) return true;
    log_id_failure();
    return false;
}

void abandon_message(current_message& message) {
    if (message.fd >= 0) ::close(message.fd);
    message.fd = -1;
    message.held_length = 0;
}

// The first CR at or after `from` in the bytes read so far, or the end of
// those bytes. One search runs to that end, and its answer stands until the
// chunks pass it or the reader refills: a maildrop without CRs is searched
// once per block rather than once per line.
const char* next_cr_from(current_message& message, const detail::chunk_source& source,
                         const char* from) {
    if (message.next_cr == nullptr || message.next_cr < from) {
        const char* read_end = source.buffer + source.end;
        const void* cr = std::memchr(from, '\r', static_cast<std::size_t>(read_end - from));
        message.next_cr = cr != nullptr ? static_cast<const char*>(cr) : read_end;
    }
    return message.next_cr;
}

bool chunk_has_cr(current_message& message, const detail::chunk_source& source, const char* chunk,
                  std::size_t length) {
    return next_cr_from(message, source, chunk) < chunk + length;
}

// Most of a maildrop is lines that the chunk loop below would only copy:
// lines ending in LF, without a CR, not starting with "From " (a line longer
// than a chunk too: none of its chunks can begin a message). The run of such
// lines from the reader's position is taken here at once; false when it is
// empty. That it may start inside a long line changes nothing, for the same
// reason.
bool take_plain_lines(current_message& message, detail::chunk_source& source) {
    const char* start = nullptr;
    if (detail::buffered(source, &start) == 0) return false;
    const char* limit = next_cr_from(message, source, start);
    const char* p = start;
    std::int64_t lines = 0;
    for (;;) {
        const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(limit - p));
        if (lf == nullptr) break;
        const char* next = static_cast<const char*>(lf) + 1;
        if (starts_with_separator(p, static_cast<std::size_t>(next - p))) break;
        p = next;
        ++lines;
    }
    if (lines == 0) return false;
    const auto length = static_cast<std::size_t>(p - start);
    detail::hand_out(source, length);
    hold_chunk(message, start, length);
    return true;
}

bool ends_with_lf(const char* chunk, std::size_t length) {
    return chunk[length - 1] == '\n';
}

void log_read_failure(const char* path) {
    util::log_line(LOG_ERR, "%s: %s: %s", "failed to read maildrop", path, std::strerror(errno));
}

// Copies the chunks of the maildrop from `base` on into spool files, or with
// in_place only notes where each message starts; false on failure. From a
// base past 0 (the end of the messages an index described) the first line
// must start a message the way it would in the middle of a full scan.
bool copy_messages(message_table& messages, int fd, const char* path, std::int64_t* scanned,
                   std::int64_t base, bool in_place) {
    current_message message = {&messages, -1,  nullptr, nullptr, 0,        0,
                               {},        {0}, false,   nullptr, in_place, base};
    if (base > 0 && ::lseek(fd, static_cast<off_t>(base), SEEK_SET) != base) {
        log_read_failure(path);
        return false;
    }
    detail::chunk_source source;
    detail::start_chunks(source, fd, chunk_buffer, sizeof chunk_buffer);
    source.observe = in_place ? detail::blocks_add : detail::digest_add;
    source.before_refill = write_before_refill;
    source.refill_context = &message;
    const char* chunk = nullptr;
    std::size_t length = 0;

    int got = detail::next_chunk(source, &chunk, &length);
    if (got == 0) {
        *scanned = base;
        return true;
    }
    if (got < 0 || !starts_with_separator(chunk, length) ||
        (base > 0 && !chunk_starts_message(chunk, length))) {
        if (got < 0) log_read_failure(path);
        return false;
    }
    if (!begin_message(message)) {
        abandon_message(message);
        return false;
    }
    hold_chunk(message, chunk, length);
    // A chunk starts a line only after a chunk that ended one: "From " in the
    // middle of a long line is body text, whatever the chunk boundaries.
    bool line_start = ends_with_lf(chunk, length);

    for (;;) {
        if (take_plain_lines(message, source)) line_start = true;
        got = detail::next_chunk(source, &chunk, &length);
        if (message.failed) {  // a write while the reader refilled; logged
            abandon_message(message);
            return false;
        }
        if (got == 0) break;
        if (got < 0) {
            log_read_failure(path);
            abandon_message(message);
            return false;
        }
        const bool lf = ends_with_lf(chunk, length);
        if (length < detail::chunk_limit && !lf) {
            // The maildrop's last chunk, cut short by its end.
            hold_chunk(message, chunk, length);
            break;
        }
        const bool cr = chunk_has_cr(message, source, chunk, length);
        const bool starts_line = line_start;
        line_start = lf;
        if (starts_line && chunk_starts_message(chunk, length, cr)) {
            if (!finish_message(message) || !begin_message(message)) {
                abandon_message(message);
                return false;
            }
        }
        hold_chunk(message, chunk, length);
    }
    if (!finish_message(message)) return false;
    *scanned = base + source.delivered;
    return true;
}

void refuse(const char* path, const char* reason) {
    util::log_line(LOG_ERR, "%s: %s: %s", "refusing maildrop", path, reason);
}

// Opens the maildrop (creating it empty), checks that it is the session's own
// single-linked regular file and takes the stream lock; -1 (logged) otherwise.
int open_maildrop(const char* path, struct stat& st, bool in_place) {
    // Created with the user's rights and mode 0600 from the start; a symbolic
    // link, a folder or a hard-linked file is never taken for the maildrop.
    util::unique_fd maildrop(
        ::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    const int fd = maildrop.get();
    if (fd < 0) {
        if (errno == ELOOP) refuse(path, "it is a symbolic link");
        if (errno == EISDIR) refuse(path, "it is a folder");
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        refuse(path, "not a regular file with a single link");
        return -1;
    }
    // The session keeps the group mail, which may reach other users' mail
    // (a path through a link the user planted, a shared folder): only a
    // maildrop of the session's own user is ever read or written.
    if (st.st_uid != ::geteuid()) {
        refuse(path, "not owned by the session's user");
        return -1;
    }
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    // Served in place, a mode already right is left alone: even an unchanged
    // mode would give the maildrop a new change time, and the index would no
    // longer match it.
    if (!in_place || (st.st_mode & 07777) != 0600) (void)::fchmod(fd, 0600);
    // Without the stream lock a delivery could be half written under our
    // reading, and a journal replay could race a writer: nothing is read.
    if (!lock_stream(fd)) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to lock maildrop stream", path,
                       std::strerror(errno));
        return -1;
    }
    return maildrop.release();
}

bool settle_ids(message_table& messages, bool ok) {
    if (detail::end_unique_ids(messages, ok) || !ok) return ok;
    log_id_failure();
    return false;
}

// One spool file per message, and the digest of everything read.
bool spool_table(message_table& messages, int fd, const char* path, const char* spool_folder,
                 std::int64_t* scanned) {
    release_message_table(messages);
    messages.in_place = false;
    detail::set_spool_prefix(messages, spool_folder);
    detail::digest_begin();
    detail::begin_unique_ids();
    const bool ok = copy_messages(messages, fd, path, scanned, 0, false) &&
                    detail::digest_finish(messages.scan.digest);
    return settle_ids(messages, ok);
}

// No spool files: the table as the index left it where it still describes
// the maildrop, and the messages after it read from the maildrop.
bool in_place_table(message_table& messages, int fd, const char* path, std::int64_t* scanned) {
    struct stat now;
    if (::fstat(fd, &now) != 0) {
        log_read_failure(path);
        return false;
    }
    const std::int64_t base = detail::index_load(messages, fd, path, now);
    if (base < 0) return false;
    const bool ok =
        copy_messages(messages, fd, path, scanned, base, true) && detail::blocks_finish(*scanned);
    if (!settle_ids(messages, ok)) return false;
    detail::index_note_scan(messages, now, base, *scanned);
    return true;
}

// Completes an interrupted rewrite, then builds the table.
bool scan(message_table& messages, const char* path, const char* spool_folder) {
    messages.scan.valid = false;
    if (path == nullptr) return false;
    struct stat st;
    util::unique_fd maildrop(open_maildrop(path, st, spool_folder == nullptr));
    const int fd = maildrop.get();
    if (fd < 0) return false;

    // A rewrite interrupted by a crash is finished before anything is read,
    // so the scan never sees a torn maildrop.
    detail::discard_temp_journal(path);
    bool ok = detail::complete_journal(fd, path, false);
    detail::close_removed_journal();

    std::int64_t scanned = 0;
    if (ok)
        ok = spool_folder != nullptr ? spool_table(messages, fd, path, spool_folder, &scanned)
                                     : in_place_table(messages, fd, path, &scanned);
    (void)::lseek(fd, 0, SEEK_SET);  // lockf counts from the offset
    (void)unlock_stream(fd);
    if (!ok) return false;
    messages.scan.valid = true;
    messages.scan.length = scanned;
    messages.scan.device = st.st_dev;
    messages.scan.inode = st.st_ino;
    // The messages are read from this very descriptor until the session ends.
    if (spool_folder == nullptr) detail::keep_served_maildrop(messages, maildrop.release());
    return true;
}

}  // namespace

bool scan_maildrop(message_table& messages, const char* path, const char* spool_folder) {
    return spool_folder != nullptr && scan(messages, path, spool_folder);
}

bool scan_maildrop_in_place(message_table& messages, const char* path) {
    return scan(messages, path, nullptr);
}

}  // namespace tollmar::maildrop
