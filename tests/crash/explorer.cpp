// The crash-state explorer: records the rewrite at QUIT, the replay at login
// and the dot-lock's taking and release, builds every state a power cut
// could leave (crash_states.hpp tells the model), lays each out and runs what
// the next session runs, and checks that no mail is lost, duplicated, torn or
// resurrected and that nothing is left for a later session to misread.
//
//   crash_explorer [--per-point N] [--seed S] [--only TEXT] [--large-kib K]
//                  [--show-ops]
//                  [--mutate unsynced-journal|uncommitted-journal|unsynced-cut --expect-broken]
//
// --mutate removes one sync from the recording before the states are built,
// as if the code had left it out; --expect-broken then succeeds only when the
// explorer finds a breaking state in every case where the mutation applied.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "crash/crash_states.hpp"
#include "crash/recorder.hpp"
#include "maildrop/lock.hpp"
#include "maildrop/message_table.hpp"
#include "maildrop/origin.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/scan_record.hpp"
#include "maildrop/seams.hpp"
#include "maildrop/update.hpp"
#include "util/log.hpp"

namespace tollmar::crash {
namespace {

namespace md = tollmar::maildrop;

// The table of the session being explored.
md::message_table messages = {};

struct options {
    exploration_limits limits{16, 1};
    std::string only;
    std::string mutate;
    bool expect_broken = false;
    bool show_ops = false;
    std::size_t large_kib = 5000;
};

// A message whose body differs from byte to byte (lower-case lines of 72),
// so that a block of the rewrite lost or kept always shows.
std::string message(char tag, std::size_t body) {
    std::string text = std::string("From ") + tag + "@x Mon Jan  1 00:00:00 2024\n\n";
    std::uint32_t state = static_cast<unsigned char>(tag);
    for (std::size_t i = 0; i < body; ++i) {
        state = state * 1664525u + 1013904223u;
        text += i % 73 == 72 ? '\n' : static_cast<char>('a' + (state >> 24) % 26);
    }
    return text + "\n\n";
}

std::string read_all(const std::string& path) {
    std::string out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return out;
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
    return out;
}

bool write_at(int fd, const std::string& bytes, off_t at) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::pwrite(fd, bytes.data() + done, bytes.size() - done, at + static_cast<off_t>(done));
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void append(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    if (::fstat(fd, &st) == 0) (void)write_at(fd, bytes, st.st_size);
    ::fsync(fd);
    ::close(fd);
}

std::string last_log;
void keep_log(int, const char* line) {
    last_log = line;
}

void empty_folder(const std::string& folder, const std::string& keep) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name != keep && !entry.is_directory()) ::unlink(entry.path().c_str());
    }
}

// A case: the folder, the maildrop's file, the recording and what the next
// session must find.
struct exploration {
    std::string name;
    std::string folder;
    std::string mbox;
    std::vector<initial_file> initial;
    std::vector<op> ops;
    int maildrop_file = -1;
    std::string before;  // the maildrop if the rewrite never happened
    std::string after;   // the maildrop once it did
    bool lock_case = false;
    // Operations issued before the rewrite returned success, which QUIT
    // answers "+OK"; from then on only `after` is right. None: never.
    std::size_t acknowledged_at = SIZE_MAX;
};

// Writes the state into the folder: the maildrop keeps its inode (a journal
// names it by device and inode), every other file is made afresh.
// A name carrying this boot's origin is given another boot's: the files of a
// power cut come from before the reboot. Empty when done, else what is wrong.
std::string lay_out(const exploration& e, const crash_state& s, int maildrop_fd) {
    empty_folder(e.folder, "mbox");
    std::map<int, std::string> first_name;
    const std::string origin = md::process_origin();
    for (const auto& [entry, file] : s.names) {
        std::string name = entry;
        const std::size_t at = origin.empty() ? std::string::npos : name.find(origin);
        if (at != std::string::npos) name.replace(at, origin.size(), "0ldb00t-pid1");
        const std::string path = e.folder + "/" + name;
        if (file == e.maildrop_file && name == "mbox") continue;
        const auto first = first_name.find(file);
        if (first != first_name.end()) {
            if (::link(first->second.c_str(), path.c_str()) != 0) return "cannot lay out " + name;
            continue;
        }
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        const bool written = fd >= 0 && write_at(fd, s.contents.at(file), 0);
        if (fd >= 0) ::close(fd);
        if (!written) return "cannot lay out " + name;
        first_name[file] = path;
    }
    const auto drop = s.names.find("mbox");
    if (drop == s.names.end() || drop->second != e.maildrop_file)
        return e.lock_case ? "" : "the maildrop is gone";
    const std::string& content = s.contents.at(e.maildrop_file);
    if (::ftruncate(maildrop_fd, 0) != 0 || !write_at(maildrop_fd, content, 0))
        return "cannot lay out the maildrop";
    return "";
}

std::string spool_of(const exploration& e) {
    return e.folder + "/spool";
}

// One login of the next session: the replay and the scan, then the maildrop
// as it was found. Empty reason when all went well.
std::string next_login(const exploration& e, std::string* found) {
    const bool ok = md::scan_maildrop(messages, e.mbox.c_str(), spool_of(e).c_str());
    md::remove_spool_files(messages);
    md::release_message_table(messages);
    if (!ok) return "the next login's scan failed: " + last_log;
    *found = read_all(e.mbox);
    for (const char* suffix : {".tollmar-journal", ".tollmar-journal.tmp"})
        if (::access((e.mbox + suffix).c_str(), F_OK) == 0)
            return std::string("left behind: mbox") + suffix;
    return "";
}

// Once the client was told the deletions were done, the old messages are
// wrong too: a power cut must not bring them back.
std::string check_rewrite(const exploration& e, bool mail_after, bool acknowledged) {
    const std::string later = mail_after ? message('z', 40) : "";
    if (mail_after) append(e.mbox, later);
    std::string found;
    std::string problem = next_login(e, &found);
    if (!problem.empty()) return problem;
    if (acknowledged && found != e.after + later)
        return found == e.before + later
                   ? "the deleted messages are back after QUIT was answered +OK"
                   : "the maildrop does not hold the kept messages after QUIT was answered +OK (" +
                         std::to_string(found.size()) + " bytes; expected " +
                         std::to_string(e.after.size() + later.size()) + ")";
    if (found != e.before + later && found != e.after + later)
        return "the maildrop holds neither the old messages nor the kept ones (" +
               std::to_string(found.size()) + " bytes; expected " +
               std::to_string(e.before.size() + later.size()) + " or " +
               std::to_string(e.after.size() + later.size()) + ")";
    std::string again;
    problem = next_login(e, &again);
    if (!problem.empty()) return "second login: " + problem;
    if (again != found) return "a second login changed the maildrop";
    return "";
}

std::time_t later_by = 0;
std::time_t shifted_clock() {
    return std::time(nullptr) + later_by;
}
void no_pause(int) {}

// After a power cut the dot-lock may be there or not; it must lapse by the
// 600-second rule, never be taken while fresh, and nothing may stay for ever.
std::string check_lock(const exploration& e) {
    md::detail::lock_pause = no_pause;
    md::detail::clock_now = shifted_clock;
    const bool present = ::access((e.mbox + ".lock").c_str(), F_OK) == 0;
    later_by = 0;
    const bool taken_at_once = md::lock_maildrop(e.mbox.c_str(), ::geteuid(), ::getegid());
    if (taken_at_once && present) return "a fresh lock was taken";
    if (!taken_at_once && !present) return "no lock, yet none could be taken";
    if (taken_at_once) md::unlock_maildrop(e.mbox.c_str());
    later_by = 700;
    if (!md::lock_maildrop(e.mbox.c_str(), ::geteuid(), ::getegid()))
        return "the lock did not lapse after 600 seconds";
    md::unlock_maildrop(e.mbox.c_str());
    later_by = 800;
    md::sweep_lock_leftovers(e.mbox.c_str());
    for (const auto& entry : std::filesystem::directory_iterator(e.folder)) {
        const std::string name = entry.path().filename().string();
        // The takeover guard stays beside the maildrop by design: removing
        // it would reopen the race it closes.
        if (name != "mbox" && name != "spool" && name != "mbox.lock.guard")
            return "left for ever: " + name;
    }
    return "";
}

// Runs the check in a child (the maildrop code keeps process-wide state);
// the reason comes back through a pipe.
std::string check_in_child(const exploration& e, bool mail_after, bool acknowledged) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return "pipe failed";
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe_fds[0]);
        util::log_observer = keep_log;
        const std::string reason =
            e.lock_case ? check_lock(e) : check_rewrite(e, mail_after, acknowledged);
        std::size_t sent = 0;
        while (sent < reason.size()) {
            const ssize_t n = ::write(pipe_fds[1], reason.data() + sent, reason.size() - sent);
            if (n <= 0) ::_exit(1);
            sent += static_cast<std::size_t>(n);
        }
        std::fflush(stdout);
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::string reason;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) reason.append(buffer, n);
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "the next session died";
    return reason;
}

struct tally {
    std::size_t states = 0;
    std::size_t broken = 0;
};

tally explore(const exploration& e, const options& opt) {
    tally t;
    const std::vector<crash_state> states =
        crash_states(e.initial, e.ops, opt.limits, e.acknowledged_at);
    const int maildrop_fd = ::open(e.mbox.c_str(), O_RDWR | O_CLOEXEC);
    for (const crash_state& s : states) {
        for (bool mail_after : {false, true}) {
            if (mail_after && e.lock_case) continue;
            ++t.states;
            std::string reason = lay_out(e, s, maildrop_fd);
            if (reason.empty()) reason = check_in_child(e, mail_after, s.acknowledged);
            if (reason.empty()) continue;
            if (++t.broken <= 3 && !opt.expect_broken)
                std::printf("BROKEN  %s%s: %s\n%s", e.name.c_str(),
                            mail_after ? " (mail after the cut)" : "", reason.c_str(),
                            explain(s, e.ops).c_str());
            else if (t.broken == 1)
                std::printf("  found: %s\n%s", reason.c_str(), explain(s, e.ops).c_str());
        }
    }
    if (maildrop_fd >= 0) ::close(maildrop_fd);
    return t;
}

// Takes operation i out of the recording, as if the code had never made it.
void drop_op(exploration& e, std::size_t i) {
    e.ops.erase(e.ops.begin() + static_cast<long>(i));
    if (i < e.acknowledged_at && e.acknowledged_at != SIZE_MAX) --e.acknowledged_at;
}

// Removes from the recording the sync a mutation names; false when the
// recording has none to remove.
bool mutate(exploration& e, const std::string& how) {
    std::vector<op>& ops = e.ops;
    for (std::size_t i = 0; i < ops.size(); ++i) {
        const op& o = ops[i];
        if (how == "unsynced-journal" && o.kind == op_kind::fsync) {
            // The temporary journal's fsync: the file renamed to the journal.
            for (std::size_t j = i + 1; j < ops.size(); ++j)
                if (ops[j].kind == op_kind::rename && ops[j].inode == o.inode &&
                    ops[j].name2 == "mbox.tollmar-journal") {
                    drop_op(e, i);
                    return true;
                }
        }
        if (how == "uncommitted-journal" && o.kind == op_kind::rename &&
            o.name2 == "mbox.tollmar-journal") {
            for (std::size_t j = i + 1; j < ops.size(); ++j)
                if (ops[j].kind == op_kind::folder_sync) {
                    drop_op(e, j);
                    return true;
                }
        }
        // The maildrop's fsync after it was cut to its new length, where the
        // rewrite was answered: only the acknowledgement makes the old
        // maildrop wrong, and a replay at login has none.
        if (how == "unsynced-cut" && o.kind == op_kind::truncate && o.inode == e.maildrop_file &&
            e.acknowledged_at != SIZE_MAX && i + 1 < ops.size() &&
            ops[i + 1].kind == op_kind::fsync && ops[i + 1].inode == o.inode) {
            drop_op(e, i + 1);
            return true;
        }
    }
    return false;
}

}  // namespace
}  // namespace tollmar::crash

namespace tollmar::crash {
namespace {

struct pattern {
    const char* name;
    std::vector<int> deleted;
    bool appended;  // mail appended between the scan and QUIT
};

const pattern patterns[] = {
    {"first deleted", {0}, false},
    {"first deleted, mail appended", {0}, true},
    {"middle deleted", {1}, false},
    {"middle deleted, mail appended", {1}, true},
    {"trailing deleted, mail appended", {2, 3}, true},
    {"trailing deleted", {2, 3}, false},
};

std::vector<std::string> maildrop_messages(bool large, const options& opt) {
    if (!large) return {message('a', 300), message('b', 200), message('c', 400), message('d', 100)};
    // Long enough for several blocks of the in-place copy and pieces of the
    // journal's early writeback.
    const std::size_t big = opt.large_kib * 1024 / 2;
    return {message('a', 150000), message('b', big), message('c', big), message('d', 1000)};
}

std::string new_folder() {
    char name[] = "/tmp/tollmar-crash-XXXXXX";
    if (::mkdtemp(name) == nullptr) return "";
    const std::string folder = name;
    ::mkdir((folder + "/spool").c_str(), 0700);
    return folder;
}

// The maildrop written and scanned, the pattern's messages marked deleted and
// the mail of the pattern appended; the result the rewrite must reach.
bool prepare(exploration& e, const std::vector<std::string>& msgs, const pattern& p) {
    e.folder = new_folder();
    if (e.folder.empty()) return false;
    e.mbox = e.folder + "/mbox";
    std::string all, kept;
    for (std::size_t i = 0; i < msgs.size(); ++i) {
        all += msgs[i];
        bool gone = false;
        for (int d : p.deleted) gone = gone || static_cast<std::size_t>(d) == i;
        if (!gone) kept += msgs[i];
    }
    const int fd = ::open(e.mbox.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || !write_at(fd, all, 0)) return false;
    ::close(fd);
    if (!md::scan_maildrop(messages, e.mbox.c_str(), spool_of(e).c_str())) return false;
    for (int d : p.deleted) messages.entries[d].deleted = 1;
    const std::string during = p.appended ? message('e', 250) : "";
    append(e.mbox, during);
    e.before = all + during;
    e.after = kept + during;
    return true;
}

void finish_recording(exploration& e) {
    e.ops = stop_recording();
    e.maildrop_file = -1;
    for (const initial_file& f : e.initial)
        for (const std::string& n : f.names)
            if (n == "mbox") e.maildrop_file = f.inode;
    md::remove_spool_files(messages);
    md::release_message_table(messages);
}

bool record_rewrite(exploration& e, const std::vector<std::string>& msgs, const pattern& p) {
    if (!prepare(e, msgs, p) || !md::lock_maildrop(e.mbox.c_str(), ::geteuid(), ::getegid()))
        return false;
    e.initial = start_recording(e.folder);
    const bool ok = md::update_maildrop(messages, e.mbox.c_str());
    finish_recording(e);
    // QUIT answers +OK once the rewrite returned success; a cut at the
    // recording's end stands for any moment after that (no later operation
    // touches the maildrop or its journal), each unsynced change kept or not.
    if (ok) e.acknowledged_at = e.ops.size();
    md::unlock_maildrop(e.mbox.c_str());
    return ok && read_all(e.mbox) == e.after;
}

void end_process(md::detail::update_step step) {
    if (step == md::detail::update_step::journal_committed) ::_exit(0);
}

// A session ended by a crash once its journal was committed; mail arrived
// before the next login, whose replay folds it in and is recorded.
bool record_replay(exploration& e, const std::vector<std::string>& msgs) {
    if (!prepare(e, msgs, patterns[1])) return false;
    const pid_t child = ::fork();
    if (child == 0) {
        md::detail::on_update_step = end_process;
        if (md::lock_maildrop(e.mbox.c_str(), ::geteuid(), ::getegid()))
            (void)md::update_maildrop(messages, e.mbox.c_str());
        ::_exit(1);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return false;
    const std::string arrived = message('f', 120);
    append(e.mbox, arrived);
    e.before += arrived;
    e.after += arrived;
    e.initial = start_recording(e.folder);
    const bool ok = md::scan_maildrop(messages, e.mbox.c_str(), spool_of(e).c_str());
    finish_recording(e);
    return ok && read_all(e.mbox) == e.after;
}

// The dot-lock taken and released; with stale, over a lock judged stale.
bool record_lock(exploration& e, bool stale) {
    e.folder = new_folder();
    e.mbox = e.folder + "/mbox";
    e.lock_case = true;
    const int fd = ::open(e.mbox.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || !write_at(fd, message('a', 10), 0)) return false;
    ::close(fd);
    if (stale) {
        const int lock = ::open((e.mbox + ".lock").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (lock < 0 || !write_at(lock, "4194001", 0)) return false;
        ::close(lock);
        md::detail::clock_now = shifted_clock;
        later_by = 700;
    }
    e.initial = start_recording(e.folder);
    const bool ok = md::lock_maildrop(e.mbox.c_str(), ::geteuid(), ::getegid());
    md::unlock_maildrop(e.mbox.c_str());
    finish_recording(e);
    md::detail::reset_seams();
    later_by = 0;
    return ok;
}

int run(const options& opt) {
    std::size_t states = 0, broken = 0, cases = 0, found_in = 0, mutated = 0;
    auto one = [&](exploration& e, bool recorded) {
        if (!opt.only.empty() && e.name.find(opt.only) == std::string::npos) return;
        ++cases;
        if (!recorded) {
            std::printf("FAILED  %s: the recorded run itself failed: %s\n", e.name.c_str(),
                        last_log.c_str());
            ++broken;
            return;
        }
        if (!opt.mutate.empty() && !mutate(e, opt.mutate)) return;
        ++mutated;
        if (opt.show_ops) {
            for (std::size_t i = 0; i < e.ops.size(); ++i)
                std::printf("  %2zu %s\n", i, describe(e.ops[i]).c_str());
            if (e.acknowledged_at != SIZE_MAX)
                std::printf("  -- QUIT answered +OK after operation %zu\n", e.acknowledged_at);
        }
        const tally t = explore(e, opt);
        std::printf("%-48s %4zu operations %6zu states %4zu broken\n", e.name.c_str(), e.ops.size(),
                    t.states, t.broken);
        std::fflush(stdout);
        states += t.states;
        broken += t.broken;
        if (t.broken > 0) ++found_in;
    };
    util::log_observer = keep_log;
    for (bool large : {false, true}) {
        const std::vector<std::string> msgs = maildrop_messages(large, opt);
        const std::string size = large ? ", large" : ", small";
        for (const pattern& p : patterns) {
            exploration e;
            e.name = std::string("rewrite: ") + p.name + size;
            if (opt.only.empty() || e.name.find(opt.only) != std::string::npos)
                one(e, record_rewrite(e, msgs, p));
            if (!e.folder.empty()) std::filesystem::remove_all(e.folder);
        }
        exploration r;
        r.name = "replay: first deleted, mail before and after" + size;
        if (opt.only.empty() || r.name.find(opt.only) != std::string::npos)
            one(r, record_replay(r, msgs));
        if (!r.folder.empty()) std::filesystem::remove_all(r.folder);
    }
    for (bool stale : {false, true}) {
        exploration e;
        e.name = stale ? "lock: stale lock taken over, released" : "lock: taken and released";
        if (opt.only.empty() || e.name.find(opt.only) != std::string::npos)
            one(e, record_lock(e, stale));
        if (!e.folder.empty()) std::filesystem::remove_all(e.folder);
    }
    std::printf("%zu cases, %zu crash states checked, %zu broken (per point %zu, seed %llu)\n",
                cases, states, broken, opt.limits.per_point,
                static_cast<unsigned long long>(opt.limits.seed));
    if (opt.expect_broken) {
        std::printf("mutation %s: broken states found in %zu of %zu cases it applied to\n",
                    opt.mutate.c_str(), found_in, mutated);
        return mutated > 0 && found_in == mutated ? 0 : 1;
    }
    return broken == 0 && cases > 0 ? 0 : 1;
}

}  // namespace
}  // namespace tollmar::crash

int main(int argc, char** argv) {
    tollmar::crash::options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--expect-broken" || arg == "--show-ops") {
            (arg == "--show-ops" ? opt.show_ops : opt.expect_broken) = true;
            continue;
        }
        if (value == nullptr) {
            std::fprintf(stderr, "%s needs a value\n", arg.c_str());
            return 2;
        }
        ++i;
        if (arg == "--per-point")
            opt.limits.per_point = std::strtoul(value, nullptr, 10);
        else if (arg == "--seed")
            opt.limits.seed = std::strtoull(value, nullptr, 10);
        else if (arg == "--only")
            opt.only = value;
        else if (arg == "--mutate")
            opt.mutate = value;
        else if (arg == "--large-kib")
            opt.large_kib = std::strtoul(value, nullptr, 10);
        else {
            std::fprintf(stderr, "unknown option %s\n", arg.c_str());
            return 2;
        }
    }
    return tollmar::crash::run(opt);
}
