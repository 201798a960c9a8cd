// The journal that makes the in-place rewrite of a maildrop crash-safe.
//
// A journal is "<maildrop>.tollmar-journal": a header, then the new content
// of the maildrop from a base offset on (the bytes before it stay as they
// are). The header, in the project's one encoding (util/codec.hpp):
//   magic "TLMRJRNL", version 1, header size 64 (u32 each), base, new
//   length, the maildrop length it was made from, the maildrop's inode, the
//   XXH3-64 of the bytes the rewrite will cut away (maildrop[new length,
//   source length) as it was), and the XXH3-64 of the header before it
//   (u64 each)                                                     64 bytes
// The journal's size is the header's plus new length - base. One function
// (journal_refusal) checks all of it and names each refusal; a journal of
// an unknown version is refused, never guessed at.
// The maildrop is recognised by its inode, not its device number, which is
// not the same through each host's mount of a shared folder.
//
// Journals of earlier releases, left by a crash before an upgrade, are
// completed too: they end in a trailer instead (magic "tollmarK", the same
// lengths, hashes in FNV-1a, the device, all in the writing host's order),
// or "tollmarJ" for the form that holds all of the new content (as base 0).
// A journal is written under a temporary name, its header last, put on disk
// and only then renamed into place, so a journal under its final name is
// always complete.
//
// Both names sit in the maildrop's folder, which may be shared with other
// users. A file under either name is trusted only if it is a regular file of
// the session's own user with a single link and no group or other permission
// bits; anything else is logged ("refusing maildrop journal"), never read,
// replayed or removed.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "maildrop/file_io.hpp"

namespace tollmar::maildrop::detail {

constexpr const char* journal_suffix = ".tollmar-journal";
constexpr const char* journal_temp_suffix = ".tollmar-journal.tmp";

struct journal_writer {
    int fd;
    std::int64_t base;     // maildrop offset of the first content byte
    std::int64_t written;  // content bytes so far
};

// Creates the temporary journal afresh (0600) for new content from base on,
// removing a leftover of ours first. False on failure (errno; EEXIST when a
// foreign file holds the name).
bool journal_create(journal_writer& writer, const char* temp_path, std::int64_t base);

// Appends length bytes of src from offset.
copy_result journal_copy(journal_writer& writer, int src, std::int64_t offset, std::int64_t length);

// Writes the header and puts the temporary journal on disk (step
// journal_written). False on failure (errno).
bool journal_seal(journal_writer& writer, int maildrop_fd, std::int64_t source_length);

// Renames the temporary journal into place and syncs the folder (step
// journal_committed). Never replaces a file already under the journal name.
// False on failure (errno, EEXIST for a file in the way; the temporary
// journal is removed, and a journal renamed but not synced is removed again).
bool journal_commit(const char* temp_path, const char* journal_path);

// Closes and removes an unfinished temporary journal.
void journal_abandon(journal_writer& writer, const char* temp_path);

// For the open, stream-locked maildrop: brings a committed journal to its end
// (maildrop = journal content + whatever was appended since) and removes it.
// True when no journal of ours is left (a foreign file under the journal name
// is logged and left alone), false on failure (logged at LOG_ERR; the journal
// then stays for the next session to complete). The journal stays open once
// unlinked, so that the costly freeing of its blocks happens in
// close_removed_journal (or at exit), off the unlock's path.
// just_committed: the journal was committed by this process, under the
// stream lock it still holds, so the maildrop is known not to be cut yet.
bool complete_journal(int maildrop_fd, const char* maildrop_path, bool just_committed);

// Closes the journal complete_journal removed last, if it is still open.
void close_removed_journal();

// Removes a leftover temporary journal of ours: an unfinished journal means
// the maildrop was never touched. A foreign one is logged and left.
void discard_temp_journal(const char* maildrop_path);

}  // namespace tollmar::maildrop::detail
