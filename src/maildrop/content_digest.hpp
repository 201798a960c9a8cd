// A digest of the maildrop bytes that the scan copied, so that the update can
// tell whether they are still exactly what the spool files hold.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace tollmar::maildrop::detail {

constexpr std::size_t content_digest_size = 32;  // SHA-256

// Fetches the digest's implementation once (see prepare_scan).
void digest_prepare();

// One running digest at a time (the scan's).
void digest_begin();
void digest_add(const char* data, std::size_t length);
// Finishes the running digest into out; false when the library failed.
bool digest_finish(unsigned char* out);

// The digest of fd[0, length) into out. False when reading failed or the file
// ended early (errno set).
bool digest_range(int fd, std::int64_t length, unsigned char* out);

}  // namespace tollmar::maildrop::detail
