#include "maildrop/served_maildrop.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "maildrop/chunk_reader.hpp"
#include "maildrop/file_io.hpp"
#include "maildrop/framing.hpp"
#include "maildrop/lock.hpp"
#include "maildrop/unique_ids.hpp"
#include "util/log.hpp"

namespace tollmar::maildrop {

namespace {

bool misplaced(const char* path, const char* why) {
    util::log_line(LOG_ERR, "%s: %s: %s", "failed to read maildrop", path != nullptr ? path : "",
                   why);
    return false;
}

// A message with the id of its first bytes is checked on them: another
// message at the same offset has another head.
bool head_matches(int served_fd, const message_entry& entry) {
    if (entry.occurrence != 0) return true;
    unsigned char digest[sizeof entry.digest];
    return detail::head_digest_at(served_fd, entry.offset, entry.spool_length, digest) &&
           std::memcmp(digest, entry.digest, sizeof digest) == 0;
}

}  // namespace

int served_maildrop(const message_table& messages) {
    return messages.served_fd;
}

bool message_in_place(const message_table& messages, const char* path, const message_entry& entry) {
    const int served_fd = messages.served_fd;
    if (served_fd < 0) return misplaced(path, "not open");
    // The maildrop is read here, not a copy of it: a session whose dot-lock
    // lapsed and was taken may find another session's rewrite at its offsets.
    if (path == nullptr || !holds_maildrop_lock(path))
        return misplaced(path, "the dot-lock is no longer ours");
    struct stat st;
    if (::fstat(served_fd, &st) != 0) return misplaced(path, std::strerror(errno));
    if (entry.offset < 0 || entry.spool_length < 0 ||
        entry.spool_length > static_cast<std::int64_t>(st.st_size) - entry.offset)
        return misplaced(path, "shorter than when it was scanned");
    if (!message_starts_at(served_fd, entry.offset) || !head_matches(served_fd, entry))
        return misplaced(path, "no message where the scan found one");
    return true;
}

void log_served_read_failure(const char* path, int error) {
    misplaced(path, std::strerror(error));
}

void close_served_maildrop(message_table& messages) {
    if (messages.served_fd >= 0) ::close(messages.served_fd);
    messages.served_fd = -1;
}

namespace detail {

bool deletions_fall_on_messages(const message_table& messages, int fd, std::int64_t scanned) {
    for (std::int32_t i = 0; i < messages.count; ++i) {
        const message_entry& entry = messages.entries[i];
        if (entry.deleted == 0) continue;
        const std::int64_t end = entry.offset + entry.spool_length;
        if (!message_starts_at(fd, entry.offset) || (end != scanned && !message_starts_at(fd, end)))
            return false;
    }
    return true;
}

void keep_served_maildrop(message_table& messages, int fd) {
    close_served_maildrop(messages);
    messages.served_fd = fd;
}

}  // namespace detail
}  // namespace tollmar::maildrop
