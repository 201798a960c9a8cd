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
#include "maildrop/content_digest.hpp"
#include "maildrop/journal.hpp"
#include "maildrop/lock.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/scan_record.hpp"
#include "maildrop/seams.hpp"
#include "maildrop/table_growth.hpp"
#include "maildrop/unique_ids.hpp"
#include "util/log.hpp"
#include "util/unique_fd.hpp"

namespace tollmar::maildrop {

namespace detail {
scan_record last_scan = {false, 0, 0, 0, {}};
}

namespace {

char chunk_buffer[65536];  // maildrop blocks, handed out as chunks
char spool_buffer[65536];  // stdio buffer of the one spool file open at a time

// The characters mkstemp fills in at the end of a name.
constexpr int mkstemp_tail = 6;

struct current_message {
    std::FILE* stream;
    message_entry* entry;
    std::int64_t tally;  // bare-LF chunks written to this message
};

void log_spool_failure(const char* spool_path, int error) {
    util::log_line(LOG_ERR, "Failed to open tmp file `%s': %s", spool_path, std::strerror(error));
}

void log_spool_write_failure(const message_entry& entry, int error) {
    char spool_path[spool_path_capacity];
    spool_path_of(entry, spool_path);
    util::log_line(LOG_ERR, "%s: %s: %s", "failed to write tmp file", spool_path,
                   std::strerror(error));
}

bool begin_message(current_message& message) {
    message_entry* entry = detail::append_entry();
    if (entry == nullptr) return false;
    // "<prefix>XXXXXX": the pid and the origin in the prefix let a later
    // session of the account remove the file should this process die without
    // its clean-up (sweep_dead_spool_files).
    char name[spool_path_capacity];
    const int n = std::snprintf(name, sizeof name, "%sXXXXXX", messages.spool_prefix);
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
    std::FILE* stream = fdopen(fd, "w+b");
    if (stream == nullptr) {
        log_spool_failure(name, errno);
        ::close(fd);
        return false;
    }
    std::setvbuf(stream, spool_buffer, _IOFBF, sizeof spool_buffer);
    entry->deleted = 0;
    message.stream = stream;
    message.entry = entry;
    message.tally = 0;
    detail::start_message_id();
    return true;
}

void log_id_failure() {
    util::log_line(LOG_ERR, "%s", "no memory for the unique-id index");
}

bool note_id_bytes(const char* chunk, std::size_t length) {
    if (detail::add_message_bytes(chunk, length)) return true;
    log_id_failure();
    return false;
}

bool write_chunk(current_message& message, const char* chunk, std::size_t length) {
    if (std::fwrite(chunk, 1, length, message.stream) != length) {
        log_spool_write_failure(*message.entry, errno != 0 ? errno : EIO);
        return false;
    }
    return note_id_bytes(chunk, length);
}

// Every buffered byte must reach the file before its length is believed:
// a spool file cut short would later be written back short.
bool finish_message(current_message& message) {
    std::FILE* stream = message.stream;
    message.stream = nullptr;
    errno = 0;
    if (std::fflush(stream) != 0) {
        log_spool_write_failure(*message.entry, errno != 0 ? errno : EIO);
        std::fclose(stream);
        return false;
    }
    const long length = std::ftell(stream);
    if (std::fclose(stream) != 0 || length < 0) {
        log_spool_write_failure(*message.entry, errno != 0 ? errno : EIO);
        return false;
    }
    message.entry->spool_length = length;
    message.entry->size = length + message.tally;
    if (detail::finish_message_id()) return true;
    log_id_failure();
    return false;
}

void abandon_message(current_message& message) {
    if (message.stream != nullptr) std::fclose(message.stream);
    message.stream = nullptr;
}

bool starts_message(const char* chunk, std::size_t length) {
    return length >= 5 && std::memcmp(chunk, "From ", 5) == 0;
}

bool has_cr(const char* chunk, std::size_t length) {
    return std::memchr(chunk, '\r', length) != nullptr;
}

bool ends_with_lf(const char* chunk, std::size_t length) {
    return chunk[length - 1] == '\n';
}

// Copies the chunks of the maildrop into spool files; false on failure.
bool copy_messages(int fd, const char* path, std::int64_t* scanned) {
    detail::chunk_source source;
    detail::start_chunks(source, fd, chunk_buffer, sizeof chunk_buffer);
    source.observe = detail::digest_add;
    current_message message = {nullptr, nullptr, 0};
    const char* chunk = nullptr;
    std::size_t length = 0;

    int got = detail::next_chunk(source, &chunk, &length);
    if (got == 0) {
        *scanned = 0;
        return true;
    }
    if (got < 0 || !starts_message(chunk, length)) {
        if (got < 0)
            util::log_line(LOG_ERR, "%s: %s: %s", "failed to read maildrop", path,
                           std::strerror(errno));
        return false;
    }
    if (!begin_message(message) || !write_chunk(message, chunk, length)) {
        abandon_message(message);
        return false;
    }
    if (ends_with_lf(chunk, length) && !has_cr(chunk, length)) message.tally = 1;
    // A chunk starts a line only after a chunk that ended one: "From " in the
    // middle of a long line is body text, whatever the chunk boundaries.
    bool line_start = ends_with_lf(chunk, length);

    for (;;) {
        got = detail::next_chunk(source, &chunk, &length);
        if (got == 0) break;
        if (got < 0) {
            util::log_line(LOG_ERR, "%s: %s: %s", "failed to read maildrop", path,
                           std::strerror(errno));
            abandon_message(message);
            return false;
        }
        const bool lf = ends_with_lf(chunk, length);
        if (length < detail::chunk_limit && !lf) {
            // The maildrop's last chunk, cut short by its end.
            if (!write_chunk(message, chunk, length)) {
                abandon_message(message);
                return false;
            }
            break;
        }
        const bool cr = has_cr(chunk, length);
        const bool starts_line = line_start;
        line_start = lf;
        if (starts_line && starts_message(chunk, length) && (cr || lf)) {
            if (!finish_message(message) || !begin_message(message)) {
                abandon_message(message);
                return false;
            }
        }
        if (!write_chunk(message, chunk, length)) {
            abandon_message(message);
            return false;
        }
        if (lf && !cr) ++message.tally;
    }
    if (!finish_message(message)) return false;
    *scanned = source.delivered;
    return true;
}

void refuse(const char* path, const char* reason) {
    util::log_line(LOG_ERR, "%s: %s: %s", "refusing maildrop", path, reason);
}

}  // namespace

bool scan_maildrop(const char* path, const char* spool_folder) {
    detail::last_scan.valid = false;
    if (path == nullptr || spool_folder == nullptr) return false;
    // Created with the user's rights and mode 0600 from the start; a symbolic
    // link, a folder or a hard-linked file is never taken for the maildrop.
    const util::unique_fd maildrop(
        ::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    const int fd = maildrop.get();
    if (fd < 0) {
        if (errno == ELOOP) refuse(path, "it is a symbolic link");
        if (errno == EISDIR) refuse(path, "it is a folder");
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        refuse(path, "not a regular file with a single link");
        return false;
    }
    // The session keeps the group mail, which may reach other users' mail
    // (a path through a link the user planted, a shared folder): only a
    // maildrop of the session's own user is ever read or written.
    if (st.st_uid != ::geteuid()) {
        refuse(path, "not owned by the session's user");
        return false;
    }
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    (void)::fchmod(fd, 0600);
    // Without the stream lock a delivery could be half written under our
    // reading, and a journal replay could race a writer: nothing is read.
    if (!lock_stream(fd)) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to lock maildrop stream", path,
                       std::strerror(errno));
        return false;
    }

    // A rewrite interrupted by a crash is finished before anything is read,
    // so the scan never sees a torn maildrop.
    detail::discard_temp_journal(path);
    bool ok = detail::complete_journal(fd, path);

    std::int64_t scanned = 0;
    unsigned char digest[detail::content_digest_size];
    if (ok) {
        release_message_table();
        detail::set_spool_prefix(spool_folder);
        detail::digest_begin();
        detail::begin_unique_ids();
        ok = copy_messages(fd, path, &scanned) && detail::digest_finish(digest);
        if (!detail::end_unique_ids(ok) && ok) {
            log_id_failure();
            ok = false;
        }
    }
    (void)::lseek(fd, 0, SEEK_SET);  // lockf counts from the offset
    (void)unlock_stream(fd);
    if (!ok) return false;
    detail::last_scan.valid = true;
    detail::last_scan.length = scanned;
    detail::last_scan.device = st.st_dev;
    detail::last_scan.inode = st.st_ino;
    std::memcpy(detail::last_scan.digest, digest, sizeof digest);
    return true;
}

}  // namespace tollmar::maildrop
