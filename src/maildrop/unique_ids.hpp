// Unique-ids of the scanned messages, digested while the scan copies them.
//
// A message's id is the MD5 of at most its first 255 bytes, as clients that
// leave mail on the server have always stored it. Messages that share those
// bytes (reports from one sender in the same second, a message delivered
// twice) would share that id, and a client that has seen the first would
// never fetch the others. So only the first of them (in maildrop order) keeps
// it; each later one gets the MD5 of its whole text, a '.' and its occurrence
// number among the later ones with that digest. The '.' keeps these apart from
// every plain 32-digit id, the occurrence number apart from each other, and
// both depend only on the message and those before it, so they stay the same
// from session to session while the maildrop before the message does.
#pragma once
#include <cstddef>
#include <cstdint>

#include "maildrop/message_table.hpp"

namespace tollmar::maildrop {

// Room for the longest id text and its NUL: 32 hex digits, '.', 10 digits.
constexpr std::size_t unique_id_capacity = 44;

// Writes the entry's unique-id into id (unique_id_capacity bytes).
void format_unique_id(const message_entry& entry, char* id);

}  // namespace tollmar::maildrop

namespace tollmar::maildrop::detail {

// The scan's side: forget the ids of an earlier scan, then for each message
// start, add every byte copied into its spool file in order, and finish it
// once its entry is the last of the table; after the last message settle the
// occurrence numbers (when the scan succeeded) and free the working memory.
// False only when memory for the working index runs out.
void begin_unique_ids();
void start_message_id();
bool add_message_bytes(message_table& messages, const char* bytes, std::size_t length);
bool finish_message_id(message_table& messages);
bool end_unique_ids(message_table& messages, bool scan_succeeded);

// For a table whose ids are already settled (taken from an index) before the
// scan adds more messages: after begin_unique_ids, records each entry with
// its head id as that id's holder, so later messages are numbered as in a
// scan of the whole maildrop. False when two entries claim one head id (the
// table cannot come from a scan) or memory runs out.
bool seed_unique_ids(message_table& messages);

// The head digest of a message of length bytes stored at offset in fd (MD5
// of at most its first 255 bytes, as the scan takes it while copying), for
// checking or settling ids without a scan. False when they cannot be read.
bool head_digest_at(int fd, std::int64_t offset, std::int64_t length, unsigned char* digest);

// For a table served in place some of whose messages are gone (a rewrite):
// settles the ids again as a scan of what is left would, reading from fd (the
// rewritten maildrop, at the entries' offsets) the head digest of each entry
// that lost its head id to an earlier one, which may be gone now. False when
// that fails or memory runs out.
bool resettle_unique_ids(message_table& messages, int fd);

}  // namespace tollmar::maildrop::detail
