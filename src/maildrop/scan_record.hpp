// What the scan saw of the maildrop, so that the update can tell mail
// appended since then from the scanned messages (kept with the table).
#pragma once
#include <sys/types.h>

#include <cstdint>

#include "maildrop/content_digest.hpp"

namespace tollmar::maildrop::detail {

struct scan_record {
    bool valid;           // a scan completed in this process
    std::int64_t length;  // bytes of the maildrop that the scan copied
    dev_t device;
    ino_t inode;
    unsigned char digest[content_digest_size];  // of the `length` bytes copied
};

}  // namespace tollmar::maildrop::detail
