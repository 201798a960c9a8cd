#include "maildrop/journal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>
#if defined(TOLLMAR_XXH3_DISPATCH) && defined(__x86_64__)
#include <xxh_x86dispatch.h>
#endif

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

#include "maildrop/file_io.hpp"
#include "maildrop/seams.hpp"
#include "util/codec.hpp"
#include "util/log.hpp"
#include "util/unique_fd.hpp"

namespace tollmar::maildrop::detail {

namespace {

// A journal holds the new content from `base` on: the maildrop's bytes before
// the first deleted message never move. It starts with a header (see
// journal.hpp), written last, in the project's one encoding.
constexpr char header_magic[8] = {'T', 'L', 'M', 'R', 'J', 'R', 'N', 'L'};
constexpr std::uint32_t journal_version = 1;
constexpr std::size_t header_size = 64;
// The journals of earlier releases end in a trailer instead: the fields as
// the host held them, after a magic ending in K, or in J for the form that
// holds all of the new content (its `base` is reserved and zero, so it reads
// as base 0), with FNV-1a hashes. They are still completed: a crash across an
// upgrade must not lose mail.
constexpr char trailer_magic[8] = {'t', 'o', 'l', 'l', 'm', 'a', 'r', 'K'};
constexpr char whole_content_magic[8] = {'t', 'o', 'l', 'l', 'm', 'a', 'r', 'J'};
// Blocks of the in-place copy; a crash between two leaves the journal to
// redo it.
constexpr std::int64_t in_place_block = std::int64_t{1} << 20;
// Pieces of the journal sent to the disk while the copy goes on.
constexpr std::int64_t writeback_piece = std::int64_t{4} << 20;
constexpr int max_rounds = 8;  // appends racing the rewrite; beyond this, next session

struct trailer {
    char magic[8];
    std::uint64_t new_length;
    std::uint64_t source_length;
    std::uint64_t cut_hash;  // FNV-1a of maildrop[new_length, source_length) before the rewrite
    std::uint64_t device;    // where it was written; not compared (see judge)
    std::uint64_t inode;
    std::uint64_t base;   // maildrop offset where the journal's content goes
    std::uint64_t check;  // FNV-1a of everything above
};
static_assert(sizeof(trailer) == 64);

enum class journal_form { none, header, trailer, whole_content_trailer };

// What a journal says of itself, from its header or an earlier release's
// trailer, before anything of it is believed (journal_refusal).
struct journal_facts {
    journal_form form;
    std::uint32_t version;  // header: its version and its own size
    std::uint32_t header_bytes;
    bool check_matches;           // the header's or trailer's check value
    std::uint64_t base;           // maildrop offset where the content goes
    std::uint64_t new_length;     // of the maildrop once rewritten
    std::uint64_t source_length;  // of the maildrop the journal was made from
    std::uint64_t inode;          // of that maildrop
    std::uint64_t cut_hash;       // of maildrop[new_length, source_length) before the rewrite
    std::uint64_t file_size;      // of the journal
    std::int64_t content_at;      // journal offset of the content
};

char copy_buffer[65536];

// The last journal removed, still open (see complete_journal).
util::unique_fd removed_journal;

constexpr std::uint64_t fnv_basis = 14695981039346656037ull;

std::uint64_t fnv_add(std::uint64_t hash, const void* data, std::size_t length) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < length; ++i) {
        hash ^= p[i];
        hash *= 1099511628211ull;
    }
    return hash;
}

// Hash of fd[from, to): XXH3-64, or FNV-1a for an earlier release's journal.
// False when the read failed or the file ended early.
bool range_hash(int fd, std::int64_t from, std::int64_t to, bool fnv, std::uint64_t* out) {
    std::uint64_t hash = fnv_basis;
    XXH3_state_t state;
    if (!fnv && XXH3_64bits_reset(&state) != XXH_OK) return false;
    const auto add = [&](const char* piece, std::size_t n) {
        if (fnv) {
            hash = fnv_add(hash, piece, n);
            return true;
        }
        return XXH3_64bits_update(&state, piece, n) == XXH_OK;
    };
    if (!read_range(fd, from, to, copy_buffer, sizeof copy_buffer, add)) return false;
    *out = fnv ? hash : XXH3_64bits_digest(&state);
    return true;
}

// The journal names sit in the maildrop's folder, which other users may be
// able to write to (a shared spool). Only a file this session's identity made
// is trusted: it was created 0600 by us and never linked elsewhere. Anything
// else under those names could have been planted to make a replay overwrite
// the maildrop, so it is neither read nor removed (it is evidence).
enum class found { nothing, ours, foreign, failed };

// Opens path read-only without following a link or blocking on a FIFO and
// judges it. ours: *fd_out is open. foreign: *reason says why. failed: errno.
found open_own(const char* path, int* fd_out, const char** reason) {
    *fd_out = -1;
    const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
            case ENOENT:
                return found::nothing;
            case ELOOP:
                *reason = "it is a symbolic link";
                return found::foreign;
            case ENXIO:  // a socket
                *reason = "not a regular file";
                return found::foreign;
            case EACCES:  // a file of ours is always readable to us
                *reason = "not readable by the session's user";
                return found::foreign;
            default:
                return found::failed;
        }
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return found::failed;
    }
    const char* problem = nullptr;
    if (!S_ISREG(st.st_mode))
        problem = "not a regular file";
    else if (st.st_uid != ::geteuid())
        problem = "not owned by the session's user";
    else if (st.st_nlink != 1)
        problem = "it has more than one link";
    else if ((st.st_mode & 077) != 0)
        problem = "open to other users";
    if (problem != nullptr) {
        ::close(fd);
        *reason = problem;
        return found::foreign;
    }
    *fd_out = fd;
    return found::ours;
}

void refuse(const char* path, const char* reason) {
    util::log_line(LOG_ERR, "%s: %s: %s", "refusing maildrop journal", path, reason);
}

// Removes a leftover of ours under path; a foreign file is logged and left.
void remove_own(const char* path) {
    int fd = -1;
    const char* reason = nullptr;
    switch (open_own(path, &fd, &reason)) {
        case found::ours:
            ::close(fd);
            ::unlink(path);
            return;
        case found::foreign:
            refuse(path, reason);
            return;
        case found::nothing:
        case found::failed:
            return;  // creating the temporary journal afresh will tell
    }
}

// Renames the temporary journal to the journal name. Without replace, a file
// already there (never ours: the scan completed ours under the dot-lock) stays
// and the rename fails with EEXIST.
int rename_journal(const char* temp_path, const char* journal_path, bool replace) {
    if (replace) return ::rename(temp_path, journal_path);
    if (::renameat2(AT_FDCWD, temp_path, AT_FDCWD, journal_path, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // A file system without RENAME_NOREPLACE: look first. A file planted in
    // between would be replaced, which costs the evidence but not the mail,
    // since the journal is judged again before it is replayed.
    struct stat st;
    if (::lstat(journal_path, &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(temp_path, journal_path);
}

bool commit(const char* temp_path, const char* journal_path, bool replace) {
    if (rename_journal(temp_path, journal_path, replace) != 0) {
        const int saved = errno;
        ::unlink(temp_path);
        errno = saved;
        return false;
    }
    if (!sync_folder_of(journal_path)) {
        // The rename may not survive a crash; rewriting now could leave a torn
        // maildrop without its journal.
        const int saved = errno;
        ::unlink(journal_path);
        errno = saved;
        return false;
    }
    step_reached(update_step::journal_committed);
    return true;
}

// The header at the start of the journal, when there is one.
bool decode_header(const unsigned char (&bytes)[header_size], journal_facts& f) {
    util::cursor c = util::read_from(bytes, sizeof bytes);
    if (!util::get_expected(c, header_magic, sizeof header_magic)) return false;
    f.form = journal_form::header;
    f.version = util::get_u32(c);
    f.header_bytes = util::get_u32(c);
    for (std::uint64_t* field : {&f.base, &f.new_length, &f.source_length, &f.inode, &f.cut_hash})
        *field = util::get_u64(c);
    const std::size_t checked = sizeof bytes - util::bytes_left(c);
    f.check_matches = util::get_u64(c) == XXH3_64bits(bytes, checked);
    f.content_at = static_cast<std::int64_t>(header_size);
    return util::get_end(c, nullptr);
}

// An earlier release's trailer at the end of the journal, when there is one.
bool decode_trailer(const unsigned char (&bytes)[sizeof(trailer)], journal_facts& f) {
    trailer t;
    std::memcpy(&t, bytes, sizeof t);
    if (std::memcmp(t.magic, trailer_magic, sizeof t.magic) == 0)
        f.form = journal_form::trailer;
    else if (std::memcmp(t.magic, whole_content_magic, sizeof t.magic) == 0)
        f.form = journal_form::whole_content_trailer;
    else
        return false;
    f.header_bytes = sizeof(trailer);
    f.check_matches = t.check == fnv_add(fnv_basis, &t, offsetof(trailer, check));
    f.base = t.base;
    f.new_length = t.new_length;
    f.source_length = t.source_length;
    f.inode = t.inode;
    f.cut_hash = t.cut_hash;
    f.content_at = 0;
    return true;
}

// Every check of what a journal says of itself, in one place: why this
// version cannot complete it, or nullptr when it can. Each refusal is named.
const char* journal_refusal(const journal_facts& f) {
    switch (f.form) {
        case journal_form::none:
            return "damaged journal: neither header nor trailer";
        case journal_form::header:
            if (f.version != journal_version) return "journal of an unknown version";
            if (f.header_bytes != header_size) return "damaged journal: header of another size";
            if (!f.check_matches) return "damaged journal: header check does not match";
            break;
        case journal_form::whole_content_trailer:
            if (f.base != 0) return "damaged journal: whole-content form with a base";
            [[fallthrough]];
        case journal_form::trailer:
            if (!f.check_matches) return "damaged journal: trailer check does not match";
            break;
    }
    if (f.base > f.new_length) return "damaged journal: base past the new length";
    if (f.new_length >= f.source_length)
        return "damaged journal: new length not below the source length";
    if (f.source_length > static_cast<std::uint64_t>(INT64_MAX))
        return "damaged journal: source length past the largest file";
    if (f.file_size != f.new_length - f.base + f.header_bytes)
        return "damaged journal: size does not match its lengths";
    return nullptr;
}

// Reads what an open journal says of itself; *refusal says why it cannot be
// completed (nullptr when it can). False when reading it failed (errno).
bool read_facts(int fd, journal_facts& f, const char** refusal) {
    f = {};
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    f.file_size = static_cast<std::uint64_t>(st.st_size);
    if (f.file_size >= header_size) {
        unsigned char head[header_size];
        static_assert(sizeof(trailer) == header_size);
        if (pread_full(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head)) return false;
        if (!decode_header(head, f)) {
            if (pread_full(fd, head, sizeof head, st.st_size - static_cast<off_t>(sizeof head)) !=
                static_cast<ssize_t>(sizeof head))
                return false;
            decode_trailer(head, f);
        }
    }
    *refusal = journal_refusal(f);
    return true;
}

// Writes the journal's content over maildrop[base, new_length), then syncs
// the maildrop. Reading the journal or writing the maildrop may fail.
copy_result write_in_place(int maildrop_fd, int journal_fd, const journal_facts& f) {
    const auto base = static_cast<std::int64_t>(f.base);
    const auto length = static_cast<std::int64_t>(f.new_length - f.base);
    std::int64_t at = 0;
    while (at < length) {
        const std::int64_t n = length - at < in_place_block ? length - at : in_place_block;
        const copy_result copied =
            copy_range(journal_fd, f.content_at + at, maildrop_fd, base + at, n);
        if (copied != copy_done) return copied;
        start_writeback(maildrop_fd, base + at, n);
        at += n;
        step_reached(update_step::maildrop_block);
    }
    return ::fsync(maildrop_fd) == 0 ? copy_done : copy_write_failed;
}

// Makes a new journal: the old journal's content followed by what was
// appended to the maildrop after the old journal was made.
bool extend_journal(int maildrop_fd, int journal_fd, const journal_facts& f, std::int64_t current,
                    const char* temp_path, const char* journal_path) {
    journal_writer writer;
    if (!journal_create(writer, temp_path, static_cast<std::int64_t>(f.base))) return false;
    const std::int64_t source = static_cast<std::int64_t>(f.source_length);
    if (journal_copy(writer, journal_fd, f.content_at,
                     static_cast<std::int64_t>(f.new_length - f.base)) != copy_done ||
        journal_copy(writer, maildrop_fd, source, current - source) != copy_done ||
        !journal_seal(writer, maildrop_fd, current)) {
        const int saved = errno;
        journal_abandon(writer, temp_path);
        errno = saved;
        return false;
    }
    return commit(temp_path, journal_path, true);  // replaces the journal it extends
}

// The steps of completing a journal, each logging its own failure. A round
// judges the journal under its name afresh and takes it as far as it can:
// done when no journal of ours is left, again when mail appended meanwhile
// has to be folded in first, failed when the journal has to stay for the
// next session.
enum class round_outcome { done, again, failed };

struct journal_names {
    char journal[PATH_MAX + 32];
    char temp[PATH_MAX + 32];
};

// What the open journal says, when it is sound and made for this very
// maildrop, and the maildrop's length now. The maildrop is named by its inode
// alone: the journal lies beside it, in its folder, so the inode within that
// file system is the maildrop's, while the device number is not the same
// from host to host (each client mount of a network or FUSE file system has
// its own, and a remount changes it) and a rewrite one host began must be
// completed by whichever host serves the next login. The lengths and the cut
// hash are checked as before.
bool judge(int journal_fd, int maildrop_fd, const char* journal_path, journal_facts* f,
           std::int64_t* current) {
    struct stat st;
    const char* problem = nullptr;
    if (!read_facts(journal_fd, *f, &problem)) problem = std::strerror(errno);
    if (problem == nullptr && ::fstat(maildrop_fd, &st) != 0) problem = std::strerror(errno);
    if (problem == nullptr && static_cast<std::uint64_t>(st.st_ino) != f->inode)
        problem = "journal made for another file";
    if (problem != nullptr) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to complete maildrop journal", journal_path,
                       problem);
        return false;
    }
    *current = static_cast<std::int64_t>(st.st_size);
    return true;
}

enum class cut_state { not_cut, cut, unreadable };

// Whether the maildrop was already cut to the journal's new length. Until it
// is, the bytes the rewrite cuts away are still there, as they were (the
// in-place writes never reach them); once cut, bytes appended since sit there
// instead. known_uncut: this process committed the journal and has not cut
// it, so hashing those bytes again (as many as the deleted messages) would
// only confirm it.
cut_state is_cut(int maildrop_fd, const char* maildrop_path, const journal_facts& t,
                 std::int64_t current, bool known_uncut) {
    const std::int64_t source = static_cast<std::int64_t>(t.source_length);
    if (current < source) return cut_state::cut;
    if (known_uncut) return cut_state::not_cut;
    std::uint64_t hash = 0;
    const bool fnv = t.form != journal_form::header;
    if (!range_hash(maildrop_fd, static_cast<std::int64_t>(t.new_length), source, fnv, &hash)) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to read maildrop", maildrop_path,
                       std::strerror(errno));
        return cut_state::unreadable;
    }
    return hash != t.cut_hash ? cut_state::cut : cut_state::not_cut;
}

// Mail arrived after the uncut journal was made: fold it into a new journal,
// so that the move of those bytes is itself crash-safe.
round_outcome fold_in_appended(int maildrop_fd, int journal_fd, const journal_facts& t,
                               std::int64_t current, const journal_names& names) {
    if (extend_journal(maildrop_fd, journal_fd, t, current, names.temp, names.journal))
        return round_outcome::again;
    util::log_line(LOG_ERR, "%s: %s: %s", "failed to write maildrop journal", names.journal,
                   std::strerror(errno));
    return round_outcome::failed;
}

// Copies the journal over the maildrop and cuts it to the new length: done
// when the maildrop holds the rewrite's result, again when mail was appended
// during the copy (the cut would lose it).
round_outcome replay(int maildrop_fd, const char* maildrop_path, int journal_fd,
                     const char* journal_path, const journal_facts& t) {
    const std::int64_t new_length = static_cast<std::int64_t>(t.new_length);
    const copy_result written = write_in_place(maildrop_fd, journal_fd, t);
    if (written != copy_done) {
        util::log_line(LOG_ERR, "%s: %s: %s",
                       written == copy_read_failed ? "failed to read maildrop journal"
                                                   : "failed to write to maildrop",
                       written == copy_read_failed ? journal_path : maildrop_path,
                       std::strerror(errno));
        return round_outcome::failed;
    }
    step_reached(update_step::maildrop_rewritten);
    struct stat st;
    if (::fstat(maildrop_fd, &st) != 0 || st.st_size != static_cast<off_t>(t.source_length))
        return round_outcome::again;
    if (::ftruncate(maildrop_fd, static_cast<off_t>(new_length)) != 0 ||
        ::fsync(maildrop_fd) != 0) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to write to maildrop", maildrop_path,
                       std::strerror(errno));
        return round_outcome::failed;
    }
    step_reached(update_step::maildrop_truncated);
    return round_outcome::done;
}

// Removes the finished journal's name. It is unlinked while still open: on a
// large journal, freeing its blocks takes tens of milliseconds, which the
// final close pays instead, and the session puts that close after the unlock
// and the answer.
bool retire(util::unique_fd journal, const char* journal_path) {
    if (::unlink(journal_path) != 0) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to remove maildrop journal", journal_path,
                       std::strerror(errno));
        return false;
    }
    // The maildrop is complete either way; should the removal be lost in a
    // crash, the replay recognises the finished rewrite by its cut hash.
    if (!sync_folder_of(journal_path))
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to sync maildrop folder", journal_path,
                       std::strerror(errno));
    step_reached(update_step::journal_removed);
    removed_journal = std::move(journal);
    return true;
}

round_outcome complete_round(int maildrop_fd, const char* maildrop_path, const journal_names& names,
                             bool known_uncut) {
    int opened = -1;
    const char* reason = nullptr;
    const found what = open_own(names.journal, &opened, &reason);
    util::unique_fd journal(opened);
    switch (what) {
        case found::nothing:
            return round_outcome::done;
        case found::foreign:
            // Not ours, so it cannot stand for a rewrite of ours: the maildrop
            // is read as it is and the file stays where it is.
            refuse(names.journal, reason);
            return round_outcome::done;
        case found::failed:
            util::log_line(LOG_ERR, "%s: %s: %s", "failed to read maildrop journal", names.journal,
                           std::strerror(errno));
            return round_outcome::failed;
        case found::ours:
            break;
    }
    journal_facts t;
    std::int64_t current = 0;
    if (!judge(journal.get(), maildrop_fd, names.journal, &t, &current))
        return round_outcome::failed;
    switch (is_cut(maildrop_fd, maildrop_path, t, current, known_uncut)) {
        case cut_state::unreadable:
            return round_outcome::failed;
        case cut_state::not_cut:
            if (current > static_cast<std::int64_t>(t.source_length))
                return fold_in_appended(maildrop_fd, journal.get(), t, current, names);
            if (const round_outcome r =
                    replay(maildrop_fd, maildrop_path, journal.get(), names.journal, t);
                r != round_outcome::done)
                return r;
            break;
        case cut_state::cut:
            if (current < static_cast<std::int64_t>(t.new_length)) {
                util::log_line(LOG_ERR, "%s: %s: %s", "failed to complete maildrop journal",
                               names.journal, "maildrop shorter than the journal");
                return round_outcome::failed;
            }
            break;
    }
    return retire(std::move(journal), names.journal) ? round_outcome::done : round_outcome::failed;
}

}  // namespace

bool journal_create(journal_writer& writer, const char* temp_path, std::int64_t base) {
    writer.base = base;
    writer.written = 0;
    remove_own(temp_path);
    // O_EXCL: whatever still holds the name (a foreign file) makes this fail
    // with EEXIST, and nothing is rewritten.
    writer.fd =
        ::open(temp_path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    return writer.fd >= 0;
}

copy_result journal_copy(journal_writer& writer, int src, std::int64_t offset,
                         std::int64_t length) {
    // In pieces, each sent on its way to the disk once copied, so that the
    // fsync in journal_seal waits only for the last of them.
    while (length > 0) {
        const std::int64_t n = length < writeback_piece ? length : writeback_piece;
        const std::int64_t to = static_cast<std::int64_t>(header_size) + writer.written;
        const copy_result copied = copy_range(src, offset, writer.fd, to, n);
        if (copied != copy_done) return copied;
        start_writeback(writer.fd, to, n);
        writer.written += n;
        offset += n;
        length -= n;
    }
    return copy_done;
}

bool journal_seal(journal_writer& writer, int maildrop_fd, std::int64_t source_length) {
    const std::int64_t new_length = writer.base + writer.written;
    struct stat st;
    std::uint64_t cut_hash = 0;
    if (::fstat(maildrop_fd, &st) != 0 ||
        !range_hash(maildrop_fd, new_length, source_length, false, &cut_hash))
        return false;
    unsigned char header[header_size];
    util::writer w = util::write_into(header, sizeof header);
    util::put_bytes(w, header_magic, sizeof header_magic);
    util::put_u32(w, journal_version);
    util::put_u32(w, header_size);
    util::put_i64(w, writer.base);
    util::put_i64(w, new_length);
    util::put_i64(w, source_length);
    util::put_u64(w, static_cast<std::uint64_t>(st.st_ino));
    util::put_u64(w, cut_hash);
    util::put_u64(w, XXH3_64bits(header, util::written(w)));
    // Written last, over the room journal_create left: with the content
    // synced under it before the rename, a journal under its final name is
    // whole.
    if (util::written(w) != header_size || !pwrite_all(writer.fd, header, sizeof header, 0) ||
        ::fsync(writer.fd) != 0)
        return false;
    const int rc = ::close(writer.fd);
    writer.fd = -1;
    if (rc != 0) return false;
    step_reached(update_step::journal_written);
    return true;
}

bool journal_commit(const char* temp_path, const char* journal_path) {
    return commit(temp_path, journal_path, false);
}

void journal_abandon(journal_writer& writer, const char* temp_path) {
    if (writer.fd >= 0) ::close(writer.fd);
    writer.fd = -1;
    ::unlink(temp_path);
}

void close_removed_journal() {
    removed_journal.reset();
}

void discard_temp_journal(const char* maildrop_path) {
    char temp_path[PATH_MAX + 32];
    if (sibling_path(temp_path, sizeof temp_path, maildrop_path, journal_temp_suffix))
        remove_own(temp_path);
}

bool complete_journal(int maildrop_fd, const char* maildrop_path, bool just_committed) {
    journal_names names;
    if (!sibling_path(names.journal, sizeof names.journal, maildrop_path, journal_suffix) ||
        !sibling_path(names.temp, sizeof names.temp, maildrop_path, journal_temp_suffix)) {
        util::log_line(LOG_ERR, "%s: %s: %s", "failed to write to maildrop", maildrop_path,
                       std::strerror(errno));
        return false;
    }
    // A journal this process has just committed (or extended, or replayed
    // while mail was appended) stands for a rewrite not yet cut.
    bool known_uncut = just_committed;
    for (int round = 0; round < max_rounds; ++round) {
        switch (complete_round(maildrop_fd, maildrop_path, names, known_uncut)) {
            case round_outcome::done:
                return true;
            case round_outcome::failed:
                return false;
            case round_outcome::again:
                known_uncut = true;
                break;
        }
    }
    util::log_line(LOG_ERR, "%s: %s: %s", "failed to complete maildrop journal", names.journal,
                   "the maildrop keeps growing");
    return false;
}

}  // namespace tollmar::maildrop::detail
