// The process-wide table of the messages of the scanned maildrop.
#pragma once
#include <cstdint>

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
    // The spool file's name: "" (never null) while the entry has no file of
    // ours, else a text in the table's own name store. A name takes its own
    // few dozen bytes there rather than a fixed path buffer per entry, so a
    // large maildrop's table stays small.
    const char* spool_path;
};

struct message_table {
    std::int32_t count;
    message_entry* entries;
};

// An entry joins `count` only once its spool_path is a valid (empty or
// complete) text, so clean-up may walk the table at any moment.
extern message_table messages;

// Frees the entries and their names and sets count to 0 (after the spool
// files are removed).
void release_message_table();

}  // namespace tollmar::maildrop
