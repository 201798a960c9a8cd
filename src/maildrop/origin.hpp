// Where process IDs mean the same as in this process: the same boot and the
// same PID namespace. Files that carry a process ID (the dot-lock's second
// name, the spool files) also carry the origin, so that a later process asks
// whether that process still exists only when the answer means something.
#pragma once

namespace tollmar::maildrop {

// "<boot id>-<pid namespace>", letters and digits only; "" when either cannot
// be read (then nothing is judged by its process ID).
const char* process_origin();

// A 32-bit digest of process_origin() for short names; 0 when the origin is
// unknown (a tag of 0 is never judged).
unsigned origin_tag();

}  // namespace tollmar::maildrop
