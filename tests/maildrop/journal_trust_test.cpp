// Files that other users of a shared maildrop folder plant under the journal
// names must never be replayed, removed or allowed to block a session.
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <ostream>

#include "maildrop/message_table.hpp"
#include "maildrop/scan.hpp"
#include "maildrop/seams.hpp"
#include "maildrop/update.hpp"
#include "maildrop_fixture.hpp"

namespace tollmar::test {
namespace {

using namespace tollmar::maildrop;

constexpr uid_t other_uid = 65534;
constexpr gid_t other_gid = 65534;

const std::string m1 = "From a@x Mon Jan  1 00:00:00 2024\n\nfirst\n\n";
const std::string m2 = "From b@x Mon Jan  1 00:00:01 2024\n\nsecond\n\n";
const std::string m3 = "From c@x Mon Jan  1 00:00:02 2024\n\nthird\n\n";
const std::string m4 = "From d@x Mon Jan  1 00:00:03 2024\n\nfourth\n";
const std::string original = m1 + m2 + m3 + m4;
const std::string session_result = m2 + m4;  // what the killed session wanted

void kill_when_committed(detail::update_step s) {
    if (s == detail::update_step::journal_committed) ::raise(SIGKILL);
}

// Runs body in a child process that SIGALRM ends should it hang (a FIFO
// opened without O_NONBLOCK would block for ever). Returns the wait status.
int in_child(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(20);
        ::_exit(body());
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    return status;
}

// Child exit codes, so that the parent can tell what went wrong.
enum child_result : int {
    fine = 0,
    scan_failed = 10,
    wrong_message_count = 11,
    refusal_not_logged = 12,
    unexpected_refusal = 13,
    update_not_refused = 14,
    cannot_become_other_user = 15,
    scan_not_refused = 16,
};

std::string describe(int status) {
    if (WIFSIGNALED(status)) return "child killed by signal " + std::to_string(WTERMSIG(status));
    return "child exit code " + std::to_string(WEXITSTATUS(status));
}

// What is under path: its file type and, for what can be read, its bytes.
struct snapshot {
    mode_t type;
    std::string bytes;
    bool operator==(const snapshot&) const = default;
};
void PrintTo(const snapshot& s, std::ostream* os) {
    *os << "type " << std::oct << s.type << std::dec << ", bytes \"" << s.bytes << '"';
}
snapshot snapshot_of(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return {0, ""};
    const mode_t type = st.st_mode & S_IFMT;
    return {type, S_ISREG(st.st_mode) || S_ISLNK(st.st_mode) ? read_file(path) : ""};
}

class JournalTrustTest : public MaildropTest {
protected:
    std::string journal() const { return mbox + ".tollmar-journal"; }
    std::string temp() const { return mbox + ".tollmar-journal.tmp"; }

    // Leaves a genuine, committed journal: a session deletes messages 1 and 3
    // and is killed right after putting its journal in place, before it
    // touches the maildrop. Trusted, this journal rewrites the maildrop.
    void leave_journal() {
        write_file(mbox, original);
        ASSERT_EQ(::chmod(mbox.c_str(), 0600), 0);
        const int status = in_child([this] {
            if (!scan_maildrop(messages, mbox.c_str(), spool.c_str())) return int{scan_failed};
            messages.entries[0].deleted = 1;
            messages.entries[2].deleted = 1;
            detail::on_update_step = kill_when_committed;
            update_holding_lock(mbox);
            return 1;
        });
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << describe(status);
        ASSERT_EQ(read_file(mbox), original);
        ASSERT_TRUE(exists(journal()));
    }

    // Scans in a child; 0 when the scan succeeded with expected_count
    // messages and logged the refusal (or, given "", no refusal at all).
    int scan_in_child(int expected_count, const std::string& refusal) {
        return in_child([&] {
            if (!scan_maildrop(messages, mbox.c_str(), spool.c_str())) return int{scan_failed};
            if (messages.count != expected_count) return int{wrong_message_count};
            if (refusal.empty())
                return logged_containing(LOG_ERR, "refusing") ? int{unexpected_refusal} : int{fine};
            return logged_containing(LOG_ERR, refusal) ? int{fine} : int{refusal_not_logged};
        });
    }
};

TEST_F(JournalTrustTest, PlantedJournalIsNeverReplayedAndTheScanGoesOn) {
    struct plant_case {
        const char* name;
        std::function<void(const std::string& journal, const std::string& dir)> plant;
        const char* reason;
    };
    const plant_case cases[] = {
        {"owned by another user",
         [](const std::string& j, const std::string&) {
             ASSERT_EQ(::chown(j.c_str(), other_uid, other_gid), 0);
         },
         "not owned by the session's user"},
        {"readable by the group",
         [](const std::string& j, const std::string&) { ASSERT_EQ(::chmod(j.c_str(), 0640), 0); },
         "open to other users"},
        {"writable by others",
         [](const std::string& j, const std::string&) { ASSERT_EQ(::chmod(j.c_str(), 0602), 0); },
         "open to other users"},
        {"a second link elsewhere",
         [](const std::string& j, const std::string& d) {
             ASSERT_EQ(::link(j.c_str(), (d + "/elsewhere").c_str()), 0);
         },
         "it has more than one link"},
        {"a symbolic link to a genuine journal",
         [](const std::string& j, const std::string& d) {
             ASSERT_EQ(::rename(j.c_str(), (d + "/real").c_str()), 0);
             ASSERT_EQ(::symlink((d + "/real").c_str(), j.c_str()), 0);
         },
         "it is a symbolic link"},
        {"a FIFO",
         [](const std::string& j, const std::string&) {
             ASSERT_EQ(::unlink(j.c_str()), 0);
             ASSERT_EQ(::mkfifo(j.c_str(), 0600), 0);
         },
         "not a regular file"},
        {"a folder",
         [](const std::string& j, const std::string&) {
             ASSERT_EQ(::unlink(j.c_str()), 0);
             ASSERT_EQ(::mkdir(j.c_str(), 0700), 0);
         },
         "not a regular file"},
    };
    for (const plant_case& c : cases) {
        SCOPED_TRACE(c.name);
        leave_journal();
        c.plant(journal(), dir);
        const snapshot planted = snapshot_of(journal());
        const int status =
            scan_in_child(4, "refusing maildrop journal: " + journal() + ": " + c.reason);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == fine) << describe(status);
        EXPECT_TRUE(read_file(mbox) == original);
        EXPECT_EQ(snapshot_of(journal()), planted);  // left alone: it is evidence
        remove_tree(journal());
        ::unlink((dir + "/elsewhere").c_str());
        ::unlink((dir + "/real").c_str());
    }
    // The same journal, left as the session made it, is replayed.
    leave_journal();
    const int status = scan_in_child(2, "");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == fine) << describe(status);
    EXPECT_TRUE(read_file(mbox) == session_result);
    EXPECT_FALSE(exists(journal()));
}

// A journal names the file it was made for (device and inode). A maildrop
// replaced by a rename since (a restore, another tool) is another file, even
// where its length and the bytes the journal would cut away are the same, so
// that the cut hash takes the replay for unfinished: the journal is refused,
// the login fails, and the new file stays as it is, byte for byte.
TEST_F(JournalTrustTest, JournalOfAMaildropReplacedByRenameIsRefused) {
    leave_journal();
    std::string replacement = original;
    replacement.replace(replacement.find("first"), 5, "fifth");
    const std::size_t cut_from = session_result.size();  // the journal's new length
    ASSERT_EQ(replacement.size(), original.size());
    ASSERT_EQ(replacement.substr(cut_from), original.substr(cut_from));
    const std::string restored = dir + "/restored";
    write_file(restored, replacement);
    ASSERT_EQ(::chmod(restored.c_str(), 0600), 0);
    ASSERT_EQ(::rename(restored.c_str(), mbox.c_str()), 0);
    const int status = in_child([&] {
        if (scan_maildrop(messages, mbox.c_str(), spool.c_str())) return int{scan_not_refused};
        return logged_containing(LOG_ERR, "failed to complete maildrop journal: " + journal() +
                                              ": journal made for another file")
                   ? int{fine}
                   : int{refusal_not_logged};
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == fine) << describe(status);
    EXPECT_TRUE(read_file(mbox) == replacement);
    EXPECT_TRUE(exists(journal()));
}

// The identity check holds for an ordinary user too: a session running as
// another uid neither trusts root's journal nor is kept from its own.
TEST_F(JournalTrustTest, SessionOfAnOrdinaryUserTrustsOnlyItsOwnJournal) {
    struct owner_case {
        const char* name;
        uid_t owner;
        mode_t mode;
        const char* refusal;  // nullptr: replayed
    };
    const owner_case cases[] = {
        {"root's, unreadable", 0, 0600, "not readable by the session's user"},
        {"root's, readable", 0, 0644, "not owned by the session's user"},
        {"the user's own", other_uid, 0600, nullptr},
    };
    for (const owner_case& c : cases) {
        SCOPED_TRACE(c.name);
        leave_journal();
        ASSERT_EQ(::chown(journal().c_str(), c.owner, c.owner), 0);
        ASSERT_EQ(::chmod(journal().c_str(), c.mode), 0);
        for (const std::string& p : {dir, spool, mbox})
            ASSERT_EQ(::chown(p.c_str(), other_uid, other_gid), 0);
        const int status = in_child([&] {
            if (::setegid(other_gid) != 0 || ::seteuid(other_uid) != 0)
                return int{cannot_become_other_user};
            if (!scan_maildrop(messages, mbox.c_str(), spool.c_str())) return int{scan_failed};
            if (messages.count != (c.refusal == nullptr ? 2 : 4)) return int{wrong_message_count};
            if (c.refusal == nullptr)
                return logged_containing(LOG_ERR, "refusing") ? int{unexpected_refusal} : int{fine};
            return logged_containing(LOG_ERR,
                                     "refusing maildrop journal: " + journal() + ": " + c.refusal)
                       ? int{fine}
                       : int{refusal_not_logged};
        });
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == fine) << describe(status);
        EXPECT_TRUE(read_file(mbox) == (c.refusal == nullptr ? session_result : original));
        EXPECT_EQ(exists(journal()), c.refusal != nullptr);
        remove_tree(journal());
        remove_tree(spool);
        ASSERT_EQ(::mkdir(spool.c_str(), 0700), 0);
        ASSERT_EQ(::chown(dir.c_str(), 0, 0), 0);
        ::unlink(mbox.c_str());
    }
}

// A file under the temporary journal's name that is not ours cannot be
// removed safely, so the update that needs the name keeps every message.
TEST_F(JournalTrustTest, ForeignTemporaryJournalMakesTheUpdateKeepEverything) {
    struct temp_case {
        const char* name;
        std::function<void(const std::string& temp, const std::string& dir)> plant;
        const char* reason;  // nullptr: a leftover of ours, removed
    };
    const temp_case cases[] = {
        {"owned by another user",
         [](const std::string& t, const std::string&) {
             write_file(t, "planted");
             ASSERT_EQ(::chmod(t.c_str(), 0600), 0);
             ASSERT_EQ(::chown(t.c_str(), other_uid, other_gid), 0);
         },
         "not owned by the session's user"},
        {"open to other users",
         [](const std::string& t, const std::string&) {
             write_file(t, "planted");
             ASSERT_EQ(::chmod(t.c_str(), 0666), 0);
         },
         "open to other users"},
        {"a FIFO",
         [](const std::string& t, const std::string&) { ASSERT_EQ(::mkfifo(t.c_str(), 0600), 0); },
         "not a regular file"},
        {"a symbolic link to another file",
         [](const std::string& t, const std::string& d) {
             write_file(d + "/target", "target");
             ASSERT_EQ(::symlink((d + "/target").c_str(), t.c_str()), 0);
         },
         "it is a symbolic link"},
        {"a leftover of ours",
         [](const std::string& t, const std::string&) {
             write_file(t, "half a journal");
             ASSERT_EQ(::chmod(t.c_str(), 0600), 0);
         },
         nullptr},
    };
    for (const temp_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(mbox, original);
        c.plant(temp(), dir);
        const snapshot planted = snapshot_of(temp());
        const int status = in_child([&] {
            if (!scan_maildrop(messages, mbox.c_str(), spool.c_str())) return int{scan_failed};
            if (messages.count != 4) return int{wrong_message_count};
            messages.entries[1].deleted = 1;
            update_holding_lock(mbox);
            if (c.reason == nullptr)
                return logged_containing(LOG_ERR, "refusing") ? int{unexpected_refusal} : int{fine};
            if (!logged_containing(LOG_ERR,
                                   "refusing maildrop journal: " + temp() + ": " + c.reason))
                return int{refusal_not_logged};
            return logged_containing(
                       LOG_ERR, "failed to write maildrop journal: " + temp() + ": File exists") &&
                           logged_containing(LOG_ERR, "failed to write to maildrop: " + mbox)
                       ? int{fine}
                       : int{update_not_refused};
        });
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == fine) << describe(status);
        EXPECT_FALSE(exists(journal()));
        if (c.reason == nullptr) {
            EXPECT_TRUE(read_file(mbox) == m1 + m3 + m4);
            EXPECT_FALSE(exists(temp()));
        } else {
            EXPECT_TRUE(read_file(mbox) == original);
            EXPECT_EQ(snapshot_of(temp()), planted);
            if (exists(dir + "/target")) {
                EXPECT_EQ(read_file(dir + "/target"), "target");
            }
        }
        remove_tree(temp());
        ::unlink((dir + "/target").c_str());
        remove_tree(spool);
        ASSERT_EQ(::mkdir(spool.c_str(), 0700), 0);
    }
}

// A foreign file under the journal name itself is refused by the scan; the
// update then may neither replace it (the evidence would be gone) nor trust
// it, so it keeps every message and leaves no temporary journal behind.
TEST_F(JournalTrustTest, ForeignJournalInTheWayOfTheCommitKeepsEverything) {
    struct in_the_way {
        const char* name;
        std::function<void(const std::string& journal, const std::string& maildrop)> plant;
    };
    const in_the_way cases[] = {
        {"owned by another user",
         [](const std::string& j, const std::string&) {
             write_file(j, "planted");
             ASSERT_EQ(::chmod(j.c_str(), 0600), 0);
             ASSERT_EQ(::chown(j.c_str(), other_uid, other_gid), 0);
         }},
        {"open to other users",
         [](const std::string& j, const std::string&) {
             write_file(j, "planted");
             ASSERT_EQ(::chmod(j.c_str(), 0644), 0);
         }},
        {"a symbolic link to the maildrop",
         [](const std::string& j, const std::string& m) {
             ASSERT_EQ(::symlink(m.c_str(), j.c_str()), 0);
         }},
    };
    for (const in_the_way& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(mbox, original);
        c.plant(journal(), mbox);
        const snapshot planted = snapshot_of(journal());
        ASSERT_TRUE(scan_maildrop(messages, mbox.c_str(), spool.c_str()));
        ASSERT_EQ(messages.count, 4);
        EXPECT_TRUE(logged_containing(LOG_ERR, "refusing maildrop journal: " + journal()));
        messages.entries[1].deleted = 1;
        update_holding_lock(mbox);
        EXPECT_TRUE(read_file(mbox) == original);
        EXPECT_EQ(snapshot_of(journal()), planted);
        EXPECT_FALSE(exists(temp()));
        EXPECT_TRUE(logged_containing(
            LOG_ERR, "failed to write maildrop journal: " + journal() + ": File exists"));
        EXPECT_TRUE(logged_containing(LOG_ERR, "failed to write to maildrop: " + mbox));
        remove_spool_files(messages);
        release_message_table(messages);
        remove_tree(journal());
        logged.clear();
    }
}

}  // namespace
}  // namespace tollmar::test
