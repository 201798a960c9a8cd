// What the -X index records of the maildrop its table was read from, and
// what a session knows of the index for its table (kept with the table,
// message_table.hpp; index.cpp and index_file.cpp use it).
#pragma once
#include <cstdint>

namespace tollmar::maildrop::detail {

// The identity's change time was not yet in the past of the clock when it was
// taken, so a later write in the same clock tick could keep it: the next
// login checks the content before trusting the identity.
constexpr std::uint32_t index_racy = 1;

struct index_identity {
    std::uint64_t device;
    std::uint64_t inode;
    std::int64_t ctime_sec;
    std::int64_t ctime_nsec;
    std::int64_t length;   // of the maildrop
    std::int64_t indexed;  // bytes the records cover, from offset 0
    std::uint32_t flags;
};

struct index_record {
    bool noted;               // a table was completed (index_note_scan)
    bool current;             // the index on disk describes it already
    index_identity identity;  // what the index of the table records
};

}  // namespace tollmar::maildrop::detail
