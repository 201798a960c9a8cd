// The states a power cut can leave, built from a recording (recorder.hpp).
//
// The model, conservative for Linux ext4 with data=ordered (the reference)
// and for any file system that keeps at least its promises:
// - a cut may fall after any prefix of the recorded operations;
// - a file's data writes and size changes since its last fsync (or fdatasync)
//   may each be kept or lost, in any combination and regardless of their
//   order; the last one kept may be kept only in part (a prefix of it); a
//   lost write that extended the file leaves a hole (zeros) when a later one
//   is kept. sync_file_range promises nothing and counts for nothing;
// - the folder's operations (create, rename, link, unlink) since its last
//   fsync are kept as a prefix: ext4 commits metadata through one journal in
//   order, so a later one never survives without the earlier ones, but any
//   number of the latest may be lost (also across an fsync of a file, which
//   on ext4 would commit them: not counted on here);
// - everything before the last fsync of a file (its data) or of the folder
//   (its entries) is kept.
// A file that no name reaches any more is gone.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "crash/recorder.hpp"

namespace tollmar::crash {

struct crash_state {
    std::size_t prefix = 0;     // operations issued before the cut
    bool acknowledged = false;  // the cut falls after the client was told the rewrite is done
    std::map<std::string, int> names;                           // folder entry -> file
    std::map<int, std::string> contents;                        // file -> bytes
    std::vector<std::size_t> lost;                              // operations of the prefix not kept
    std::vector<std::pair<std::size_t, std::int64_t>> partial;  // (operation, bytes kept)
};

struct exploration_limits {
    std::size_t per_point;  // states built at each cut point; sampled beyond
    std::uint64_t seed;
};

// Every state the model allows at each cut point (all of them up to
// per_point, else per_point of them drawn with the seed, always including
// "everything kept" and "nothing unsynced kept"), duplicates removed.
// A cut after the first `acknowledged_at` operations falls after the answer
// that the rewrite is done (no answer: ops.size() + 1); such a state is kept
// apart from the same files before the answer, since less is allowed of it.
std::vector<crash_state> crash_states(const std::vector<initial_file>& initial,
                                      const std::vector<op>& ops, const exploration_limits& limits,
                                      std::size_t acknowledged_at);

// The state as the list of operations kept and lost, one a line.
std::string explain(const crash_state& state, const std::vector<op>& ops);

}  // namespace tollmar::crash
