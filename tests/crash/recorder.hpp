// Records the file-system operations a piece of the maildrop code makes in one
// folder, with the bytes written, so that the crash states a power cut could
// leave can be built afterwards (see crash_states.hpp).
//
// The explorer defines the libc entry points the maildrop code calls (open,
// write, copy_file_range, rename, fsync, ...) in its own executable; the
// linker binds the maildrop library's calls to them, and each passes the call
// on to the C library (dlsym RTLD_NEXT), noting it when it succeeded and
// touched the watched folder. It is the LD_PRELOAD technique without the
// separate library.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace tollmar::crash {

enum class op_kind {
    create,       // name: a new empty file (O_CREAT) under a new inode
    rename,       // name -> name2 (replacing whatever name2 held)
    link,         // name2 becomes another name of name's file
    unlink,       // name removed
    write,        // inode: data at offset
    truncate,     // inode: cut or extended to length
    fsync,        // inode: its data and size on disk
    folder_sync,  // the folder's entries on disk
    writeback,    // inode: sync_file_range (started, never waited for)
    close,        // inode: descriptor closed
};

struct op {
    op_kind kind;
    std::string name;
    std::string name2;
    int inode = -1;  // the explorer's number of the file
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::string data;
};

// A file of the folder as it was when recording began: all of it on disk.
struct initial_file {
    std::vector<std::string> names;
    std::string content;
    int inode;
};

// Starts watching `folder` (absolute, no trailing slash): takes its files as
// they are (all on disk) and numbers them; returns them.
std::vector<initial_file> start_recording(const std::string& folder);

// Stops watching and returns what was recorded since start_recording.
std::vector<op> stop_recording();

// The explorer's number of the file now under `name` in the watched folder
// (or of the last one recorded there), -1 when unknown.
int inode_of(const std::string& name);

// One line describing o, for a breaking state's listing.
std::string describe(const op& o);

}  // namespace tollmar::crash
