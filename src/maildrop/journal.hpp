// The journal that makes the in-place rewrite of a maildrop crash-safe.
//
// A journal is "<maildrop>.tollmar-journal": the complete new content of the
// maildrop followed by a fixed trailer (new length, the maildrop length it was
// made from, a hash of the bytes the rewrite will cut away, the maildrop's
// device and inode, a check value). It is written under a temporary name, put
// on disk and only then renamed into place, so a journal under its final name
// is always complete.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace tollmar::maildrop::detail {

constexpr const char* journal_suffix = ".tollmar-journal";
constexpr const char* journal_temp_suffix = ".tollmar-journal.tmp";

struct journal_writer {
    int fd;
    std::int64_t written;  // content bytes so far
};

// Creates the temporary journal afresh (0600). 1 done, 0 failed (errno).
int journal_create(journal_writer& writer, const char* temp_path);

// Appends length bytes of src from offset. 1 done, 0 write failed, -1 read
// failed or src ended early (errno EIO then).
int journal_copy(journal_writer& writer, int src, std::int64_t offset, std::int64_t length);

// Appends the trailer and puts the temporary journal on disk (step
// journal_written). 1 done, 0 failed (errno).
int journal_seal(journal_writer& writer, int maildrop_fd, std::int64_t source_length);

// Renames the temporary journal into place and syncs the folder (step
// journal_committed). 1 done, 0 failed (errno; the final name then does not
// name a journal that could be trusted, so it is removed again).
int journal_commit(const char* temp_path, const char* journal_path);

// Closes and removes an unfinished temporary journal.
void journal_abandon(journal_writer& writer, const char* temp_path);

// For the open, stream-locked maildrop: brings a committed journal to its end
// (maildrop = journal content + whatever was appended since) and removes it.
// 1 when no journal is left, 0 on failure (logged at LOG_ERR; the journal then
// stays for the next session to complete).
int complete_journal(int maildrop_fd, const char* maildrop_path);

// Removes a leftover temporary journal: an unfinished journal means the
// maildrop was never touched.
void discard_temp_journal(const char* maildrop_path);

}  // namespace tollmar::maildrop::detail
