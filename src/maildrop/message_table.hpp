// The table of the messages of the scanned maildrop (a mailbox holds one).
#pragma once
#include <cstddef>
#include <cstdint>

#include "maildrop/index_identity.hpp"
#include "maildrop/scan_record.hpp"

namespace tollmar::maildrop {

struct message_entry {
    std::int64_t spool_length;  // bytes in the spool file
    std::int64_t size;          // octets reported by STAT and LIST
    std::uint32_t deleted;      // 1 once marked by DELE
    // 0: `digest` is the MD5 of the first 255 bytes, the id clients have
    // always seen. Otherwise another message earlier in the maildrop has that
    // id: `digest` is the MD5 of the whole message and this is its occurrence
    // among such messages of the same digest (see unique_ids.hpp).
    std::uint32_t occurrence;
    unsigned char digest[16];
    union {
        // The spool file's name after the table's spool_prefix: the characters
        // mkstemp filled in and a NUL, or "" while the entry has no file of
        // ours. Only this tail is kept, in the room a pointer would take, so a
        // large maildrop costs 48 bytes a message and no name store.
        char spool_name[8];
        // Where the message starts in the maildrop, for a table served from
        // the maildrop itself (in_place), which has no spool files.
        std::int64_t offset;
    };
};
static_assert(sizeof(message_entry) == 48, "a million messages must stay near 48 MB");

// Room for a spool file's path and its NUL.
constexpr std::size_t spool_path_capacity = 256;

struct message_table {
    // An entry joins `count` only once its spool_name is a valid (empty or
    // complete) text, so clean-up may walk the table at any moment.
    std::int32_t count;
    message_entry* entries;
    // "<spool folder>/.tollmar_<pid>_<origin tag>_", which every spool name of
    // the table follows. The scan makes it while count is 0 and nothing
    // changes it afterwards: the clean-up may run after a fork, under another
    // pid, and must still name the files this table's scan made.
    char spool_prefix[spool_path_capacity];
    // The messages are read from the maildrop at their offsets; no entry
    // names a spool file.
    bool in_place;
    std::int32_t capacity;     // entries allocated behind `entries`
    detail::scan_record scan;  // the maildrop bytes the entries were scanned from
    // In place: the open maildrop the messages are read from
    // (served_maildrop.hpp); -1 when none is kept.
    int served_fd = -1;
    // With -X: what the index on disk says of this table, and whether it
    // must be written again (index.hpp).
    detail::index_record index = {};
};

// Writes the path of entry's spool file (an entry of table) into path.
// False, with path "", when the entry has no file of ours or the table has no
// prefix, or when prefix and name do not fit: a cut path may name a file that
// is not ours.
bool spool_path_of(const message_table& table, const message_entry& entry,
                   char (&path)[spool_path_capacity]);

// Unlinks the spool file of every entry; the table is unchanged.
void remove_spool_files(const message_table& table);

// Frees the entries and sets count to 0 (after the spool files are removed).
void release_message_table(message_table& table);

}  // namespace tollmar::maildrop
