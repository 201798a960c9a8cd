#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "maildrop/lock.hpp"
#include "maildrop/lock_detail.hpp"
#include "maildrop/seams.hpp"
#include "maildrop_fixture.hpp"
#include "support/child_run.hpp"
#include "support/identity.hpp"

namespace tollmar::test {
namespace {

using namespace tollmar::maildrop;

std::time_t fake_now = 0;
std::time_t fake_clock() {
    return fake_now;
}
constexpr int full_wait_pauses = 11;  // 10, 20, ... 640, 1000 x 3, 730 ms
std::string stale_lock_folder;
int rival_result = -1;
pid_t rival_pid = 0;
int pauses = 0;
std::vector<int> pause_log;  // milliseconds of each pause
std::string vanishing_lock;  // removed by the second pause when set
void count_pause(int milliseconds) {
    ++pauses;
    pause_log.push_back(milliseconds);
    if (pauses == 2 && !vanishing_lock.empty()) ::unlink(vanishing_lock.c_str());
}

class LockTest : public MaildropTest {
protected:
    void SetUp() override {
        MaildropTest::SetUp();
        pauses = 0;
        pause_log.clear();
        vanishing_lock.clear();
        detail::lock_pause = count_pause;
        lock = mbox + ".lock";
    }
    std::string lock;
};

TEST_F(LockTest, FreshLockHoldsOnlyThePidAndBelongsToTheGivenIds) {
    const mode_t old_mask = ::umask(022);
    EXPECT_EQ(lock_maildrop(mbox.c_str(), 4321, 4322), 1);
    ::umask(old_mask);
    EXPECT_EQ(pauses, 0);
    EXPECT_EQ(read_file(lock), std::to_string(getpid()));
    const struct stat st = stat_of(lock);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // The takeover guard beside it: made once, handed over as the lock is
    // (the session opens it again at QUIT), empty, and left in place.
    const struct stat guard = stat_of(lock + ".guard");
    EXPECT_TRUE(S_ISREG(guard.st_mode));
    EXPECT_EQ(guard.st_uid, 4321u);
    EXPECT_EQ(guard.st_gid, 4322u);
    EXPECT_EQ(guard.st_mode & 07777, 0600u);
    EXPECT_EQ(guard.st_size, 0);
    unlock_maildrop(mbox.c_str());
    EXPECT_FALSE(exists(lock));
    EXPECT_EQ(stat_of(lock + ".guard").st_ino, guard.st_ino);
}

// A link planted under the guard's name is never followed: the guard is
// then judged unavailable, as on a file system without flock, and the lock
// still works by its own rules.
TEST_F(LockTest, GuardNameHoldingALinkIsNeverFollowed) {
    const std::string target = dir + "/target";
    write_file(target, "keep");
    ASSERT_EQ(::symlink(target.c_str(), (lock + ".guard").c_str()), 0);
    EXPECT_EQ(lock_maildrop(mbox.c_str(), getuid(), getgid()), 1);
    unlock_maildrop(mbox.c_str());
    EXPECT_FALSE(exists(lock));
    EXPECT_EQ(read_file(target), "keep");
    struct stat planted;
    ASSERT_EQ(::lstat((lock + ".guard").c_str(), &planted), 0);
    EXPECT_TRUE(S_ISLNK(planted.st_mode));
}

// A client that caches attributes (FUSE by default, NFS within its attribute
// timeout) can report the count from before the link for a moment after it.
int stale_link_count(const char* path, struct stat* st) {
    const int result = ::lstat(path, st);
    if (result == 0 && st->st_nlink > 1) st->st_nlink = 1;
    return result;
}

TEST_F(LockTest, LinkThatSucceededHoldsTheLockWhateverTheCountReadBack) {
    detail::lstat_call = stale_link_count;
    EXPECT_EQ(lock_maildrop(mbox.c_str(), getuid(), getgid()), 1);
    EXPECT_EQ(pauses, 0);
    EXPECT_EQ(read_file(lock), std::to_string(getpid()));
    unlock_maildrop(mbox.c_str());
    EXPECT_FALSE(exists(lock));  // never an orphan with our pid in it
}

TEST_F(LockTest, StaleRuleCountsStatusChangeAge) {
    struct age_case {
        long long age;
        int result;
        int pauses;
    };
    const int all = full_wait_pauses;
    for (const age_case c : {age_case{600, 0, all}, age_case{601, 1, 0}, age_case{-3600, 0, all},
                             age_case{0, 0, all}, age_case{100000, 1, 0}}) {
        SCOPED_TRACE(c.age);
        write_file(lock, "99999");
        fake_now = stat_of(lock).st_ctime + c.age;
        detail::clock_now = fake_clock;
        pauses = 0;
        errno = 0;
        EXPECT_EQ(lock_maildrop(mbox.c_str(), 0, 0), c.result);
        EXPECT_EQ(pauses, c.pauses);
        if (c.result == 0) {
            EXPECT_EQ(errno, EEXIST);
            EXPECT_EQ(read_file(lock), "99999");
        } else {
            EXPECT_EQ(read_file(lock), std::to_string(getpid()));
        }
        ::unlink(lock.c_str());
    }
}

TEST_F(LockTest, LockRemovedDuringThePausesIsTakenAtTheNextAttempt) {
    write_file(lock, "99999");
    vanishing_lock = lock;
    EXPECT_EQ(lock_maildrop(mbox.c_str(), 0, 0), 1);
    EXPECT_EQ(pauses, 2);
    EXPECT_EQ(read_file(lock), std::to_string(getpid()));
}

// A held lock is waited for about five seconds in all, in pauses that start
// short and double up to a second, so a lock freed at once is taken at once.
TEST_F(LockTest, WaitForAHeldLockGrowsFromTenMillisecondsToFiveSecondsInAll) {
    write_file(lock, "99999");
    errno = 0;
    EXPECT_EQ(lock_maildrop(mbox.c_str(), 0, 0), 0);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(pause_log, (std::vector<int>{10, 20, 40, 80, 160, 320, 640, 1000, 1000, 1000, 730}));
    int total = 0;
    for (int ms : pause_log) total += ms;
    EXPECT_EQ(total, 5000);
    EXPECT_EQ(read_file(lock), "99999");
}

TEST_F(LockTest, MissingFolderFailsAfterTheWholeWait) {
    const std::string inside = dir + "/missing/mbox";
    errno = 0;
    EXPECT_EQ(lock_maildrop(inside.c_str(), 0, 0), 0);
    EXPECT_EQ(pauses, full_wait_pauses);
    EXPECT_EQ(errno, ENOENT);
}

// The second name a lock keeps while its session lives, if any.
std::vector<std::string> owner_names(const std::string& folder) {
    std::vector<std::string> out;
    for (const std::string& name : list_folder(folder))
        if (name.rfind("mbox.lock.", 0) == 0 && name != "mbox.lock.guard") out.push_back(name);
    return out;
}

TEST_F(LockTest, UnlockRemovesOnlyTheLockThisProcessTook) {
    struct unlock_case {
        const char* name;
        void (*meddle)(const std::string& lock);  // after our lock was taken
        bool removed;
    };
    const unlock_case cases[] = {
        {"our own lock", [](const std::string&) {}, true},
        // Ours lapsed and another session took the name: even with our ID
        // in it, another file is not ours.
        {"another file under the name",
         [](const std::string& lock) {
             ::unlink(lock.c_str());
             write_file(lock, std::to_string(getpid()));
         },
         false},
        {"our file now naming another process",
         [](const std::string& lock) {
             const int fd = ::open(lock.c_str(), O_WRONLY | O_TRUNC);
             ASSERT_EQ(::write(fd, "12345", 5), 5);
             ::close(fd);
         },
         false},
    };
    for (const unlock_case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(lock_maildrop(mbox.c_str(), getuid(), getgid()), 1);
        EXPECT_TRUE(holds_maildrop_lock(mbox.c_str()));
        EXPECT_EQ(owner_names(dir).size(), 1u);  // the lock's second name
        c.meddle(lock);
        EXPECT_EQ(holds_maildrop_lock(mbox.c_str()), c.removed);
        const std::string before = read_file(lock);
        unlock_maildrop(mbox.c_str());
        EXPECT_EQ(exists(lock), !c.removed);
        if (!c.removed) {
            EXPECT_EQ(read_file(lock), before);
        }
        EXPECT_TRUE(owner_names(dir).empty());
        EXPECT_FALSE(holds_maildrop_lock(mbox.c_str()));
        ::unlink(lock.c_str());
    }
    unlock_maildrop(mbox.c_str());  // no lock at all: nothing happens
    EXPECT_TRUE(exists(dir));
}

// Two logins find the same stale lock. The first one's judgement is followed,
// before it acts, by an attempt of the second (run from the clock read that
// sits between judging and removing): the second waits for the first's
// judging to end, and exactly one of them holds the lock.
std::time_t stale_now = 0;
bool raced = false;
std::time_t racing_clock() {
    if (!raced) {
        raced = true;
        const pid_t rival = ::fork();
        if (rival == 0) {
            detail::clock_now = fake_clock;
            detail::lock_pause = [](int) {};
            detail::on_lock_moved_aside = nullptr;
            ::_exit(lock_maildrop((stale_lock_folder + "/mbox").c_str(), getuid(), getgid()));
        }
        int status = 0;
        ::waitpid(rival, &status, 0);
        rival_result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        rival_pid = rival;
    }
    return stale_now;
}

TEST_F(LockTest, TwoContendersOnAStaleLockNeverBothHoldIt) {
    write_file(lock, "99999");
    stale_now = stat_of(lock).st_ctime + 601;
    fake_now = stale_now;
    stale_lock_folder = dir;
    raced = false;
    detail::clock_now = racing_clock;
    detail::lock_pause = [](int) {};
    const int mine = lock_maildrop(mbox.c_str(), getuid(), getgid());
    ASSERT_NE(rival_result, -1);
    EXPECT_EQ(rival_result + mine, 1);
    EXPECT_EQ(read_file(lock), std::to_string(mine == 1 ? getpid() : rival_pid));
}

// Three logins and a stale lock, the interleaving that once left two
// sessions holding one maildrop: while the first has judged the stale lock
// and not yet moved it aside, the second takes it over and locks; the first
// then moves aside what the name holds, and while the name is empty a third
// takes it. Every login told it holds the lock must still hold it.
std::string third_lock;  // the third login's file, linked to the empty name
bool third_took = false;
void third_login() {
    const std::string name = stale_lock_folder + "/mbox.lock";
    if (::access(name.c_str(), F_OK) == 0) return;
    write_file(third_lock, "424242");
    third_took = ::link(third_lock.c_str(), name.c_str()) == 0;
}

TEST_F(LockTest, LockMovedAsideIsTheOneJudgedSoAThirdLoginNeverTakesALiveOne) {
    write_file(lock, "99999");
    stale_now = stat_of(lock).st_ctime + 601;
    fake_now = stale_now;
    stale_lock_folder = dir;
    third_lock = dir + "/third";
    third_took = false;
    rival_result = -1;
    raced = false;
    detail::clock_now = racing_clock;
    detail::on_lock_moved_aside = third_login;
    detail::lock_pause = [](int) {};
    const bool mine = lock_maildrop(mbox.c_str(), getuid(), getgid());
    const std::string now_held = read_file(lock);
    int holders = 0;
    if (rival_result == 1) {
        ++holders;
        EXPECT_EQ(now_held, std::to_string(rival_pid)) << "the second login lost its lock";
    }
    if (third_took) {
        ++holders;
        EXPECT_EQ(now_held, "424242") << "the third login lost its lock";
    }
    if (mine) {
        ++holders;
        EXPECT_TRUE(holds_maildrop_lock(mbox.c_str()));
    }
    EXPECT_EQ(holders, 1);
}

// A child takes the lock and then either dies at once (SIGKILL: no clean-up)
// or lives on until told; the lock it leaves is fresh by the clock.
struct lock_holder {
    pid_t pid;
    int release_fd;  // closing it ends a live holder
};
lock_holder hold_in_child(const std::string& maildrop, bool die) {
    int taken[2];
    int release[2];
    if (::pipe(taken) != 0 || ::pipe(release) != 0) return {-1, -1};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(release[1]);
        const char ok = lock_maildrop(maildrop.c_str(), getuid(), getgid()) ? 'y' : 'n';
        if (::write(taken[1], &ok, 1) != 1) ::_exit(2);
        if (die) ::kill(getpid(), SIGKILL);
        char c;
        (void)::read(release[0], &c, 1);
        ::_exit(0);
    }
    ::close(release[0]);
    ::close(taken[1]);
    char ok = 'n';
    EXPECT_EQ(::read(taken[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    ::close(taken[0]);
    if (die) {
        ::waitpid(child, nullptr, 0);
        ::close(release[1]);
        return {child, -1};
    }
    return {child, release[1]};
}

TEST_F(LockTest, FreshLockOfAKilledSessionOfThisHostIsTakenAtOnce) {
    // Killed: its lock and second name are left; the next login takes over.
    const lock_holder killed = hold_in_child(mbox, true);
    ASSERT_EQ(read_file(lock), std::to_string(killed.pid));
    ASSERT_EQ(owner_names(dir).size(), 1u);
    EXPECT_EQ(lock_maildrop(mbox.c_str(), getuid(), getgid()), 1);
    EXPECT_EQ(pauses, 0);
    EXPECT_EQ(read_file(lock), std::to_string(getpid()));
    EXPECT_EQ(owner_names(dir).size(), 1u);  // only ours is left
    unlock_maildrop(mbox.c_str());
    EXPECT_TRUE(list_folder(dir) == (std::vector<std::string>{"mbox.lock.guard", "spool"}));
}

TEST_F(LockTest, LockOfALiveSessionOrOfUnknownOriginIsNeverTakenEarly) {
    // A live session of this host.
    const lock_holder live = hold_in_child(mbox, false);
    errno = 0;
    EXPECT_EQ(lock_maildrop(mbox.c_str(), getuid(), getgid()), 0);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(read_file(lock), std::to_string(live.pid));
    ::close(live.release_fd);
    ::waitpid(live.pid, nullptr, 0);
    ::unlink(lock.c_str());
    for (const std::string& name : owner_names(dir)) ::unlink((dir + "/" + name).c_str());

    // A dead process's ID but no second name of this host (another host, an
    // agent that writes the bare lock): only the 600-second rule applies.
    const lock_holder gone = hold_in_child(dir + "/other", true);
    struct leftover {
        const char* name;
        std::string second_name;  // linked to the lock; empty: none
    };
    const leftover cases[] = {
        {"no second name", ""},
        {"second name of another origin",
         lock + ".0123456789abcdef-pid4026531836." + std::to_string(gone.pid)},
    };
    for (const leftover& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(lock, std::to_string(gone.pid));
        if (!c.second_name.empty()) {
            ASSERT_EQ(::link(lock.c_str(), c.second_name.c_str()), 0);
        }
        pauses = 0;
        EXPECT_EQ(lock_maildrop(mbox.c_str(), getuid(), getgid()), 0);
        EXPECT_EQ(pauses, full_wait_pauses);
        EXPECT_EQ(read_file(lock), std::to_string(gone.pid));
        ::unlink(lock.c_str());
        if (!c.second_name.empty()) {
            ::unlink(c.second_name.c_str());
        }
    }
}

// A session judges locks as its account (a maildrop in the home folder or
// named by the authentication file), and kill(pid, 0) then answers EPERM, not
// ESRCH, for a live process of another user: that holder is alive, and its
// lock must never be taken early. Holders: a session between taking its lock
// and becoming its account (still root), and a process of another account.
// The lock is the account's (as a session hands it over), so the judge can
// read the process ID, and the folder is the account's, so it could take the
// lock over.
TEST_F(LockTest, LiveHolderOfAnotherUserIsNeverJudgedDeadByAnAccount) {
    struct holder_case {
        const char* name;
        uid_t uid;
    };
    const holder_case cases[] = {{"root", 0}, {"another account", account_b}};
    ASSERT_EQ(::chown(dir.c_str(), account_a, account_a), 0);
    for (const holder_case& c : cases) {
        SCOPED_TRACE(c.name);
        int taken[2];
        int release[2];
        ASSERT_EQ(::pipe(taken), 0);
        ASSERT_EQ(::pipe(release), 0);
        const pid_t holder = ::fork();
        if (holder == 0) {
            ::close(release[1]);
            char ok = lock_maildrop(mbox.c_str(), account_a, account_a) ? 'y' : 'n';
            if (c.uid != 0 && !become_user(c.uid, c.uid)) ok = 'n';
            if (::write(taken[1], &ok, 1) != 1) ::_exit(2);
            char byte;
            (void)::read(release[0], &byte, 1);
            ::_exit(0);
        }
        ::close(release[0]);
        ::close(taken[1]);
        char ok = 'n';
        EXPECT_EQ(::read(taken[0], &ok, 1), 1);
        ::close(taken[0]);
        ASSERT_EQ(ok, 'y');
        ASSERT_EQ(owner_names(dir).size(), 1u);

        const child_result judge = run_in_child([&](int report) {
            if (!become_user(account_a, account_a)) return write_text(report, "cannot switch");
            pauses = 0;
            errno = 0;
            if (lock_maildrop(mbox.c_str(), account_a, account_a))
                return write_text(report, "taken from a live holder");
            write_text(report, std::string("refused: ") + std::strerror(errno) + " after " +
                                   std::to_string(pauses) + " pauses");
        });
        EXPECT_EQ(judge.extra, std::string("refused: ") + std::strerror(EEXIST) + " after " +
                                   std::to_string(full_wait_pauses) + " pauses");
        EXPECT_EQ(read_file(lock), std::to_string(holder));
        EXPECT_EQ(stat_of(lock).st_nlink, 2u);  // the holder's second name is still there

        ::close(release[1]);
        ::waitpid(holder, nullptr, 0);
        ::unlink(lock.c_str());
        for (const std::string& name : owner_names(dir)) ::unlink((dir + "/" + name).c_str());
    }
}

TEST_F(LockTest, SweepRemovesOnlyLeftoversUntouchedForAMinute) {
    const std::string origin_name = "mbox.lock.0123456789abcdef0123456789abcdef-pid4026531836.";
    write_file(dir + "/" + origin_name + "4242", "4242");  // its lock removed by a third party
    write_file(dir + "/mbox.lock.stale.77.12345", "77");   // a takeover that died half way
    write_file(dir + "/mbox.lock.backup", "1");            // not a name of ours
    write_file(dir + "/mbox.lock.stale.x.1", "1");
    write_file(dir + "/other.lock.abc-pid1.5", "5");  // another maildrop's
    write_file(dir + "/" + origin_name + "4343", "4343");
    ASSERT_EQ(::link((dir + "/" + origin_name + "4343").c_str(), lock.c_str()), 0);  // held
    const std::vector<std::string> kept = {
        "mbox.lock",          "mbox.lock.backup",      "mbox.lock.stale.x.1",
        origin_name + "4343", "other.lock.abc-pid1.5", "spool"};
    auto sorted_folder = [&] {
        std::vector<std::string> names = list_folder(dir);
        std::sort(names.begin(), names.end());
        return names;
    };
    const std::vector<std::string> everything = sorted_folder();
    detail::clock_now = fake_clock;
    fake_now = std::time(nullptr) + 55;  // still fresh: a contender may be using it
    sweep_lock_leftovers(mbox.c_str());
    EXPECT_EQ(sorted_folder(), everything);
    fake_now = std::time(nullptr) + 61;
    sweep_lock_leftovers(mbox.c_str());
    std::vector<std::string> expected = kept;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sorted_folder(), expected);
}

TEST_F(LockTest, SweepRemovesAtOnceTheSecondNameOfADeadProcessOfThisHost) {
    // A session killed after its lock was taken by a third party (an agent's
    // stale-lock removal): its second name alone is left, under our origin.
    const lock_holder killed = hold_in_child(mbox, true);
    const lock_holder live = hold_in_child(dir + "/other", false);
    ASSERT_EQ(::unlink(lock.c_str()), 0);
    const std::vector<std::string> names = owner_names(dir);
    ASSERT_EQ(names.size(), 1u);
    ASSERT_EQ(names[0].substr(names[0].rfind('.') + 1), std::to_string(killed.pid));
    // The same shape with a live process's ID, and with a dead one's under
    // another origin: both wait for the minute.
    const std::string live_name =
        names[0].substr(0, names[0].rfind('.') + 1) + std::to_string(live.pid);
    write_file(dir + "/" + live_name, std::to_string(live.pid));
    const std::string foreign =
        "mbox.lock.0123456789abcdef-pid4026531836." + std::to_string(killed.pid);
    write_file(dir + "/" + foreign, std::to_string(killed.pid));
    sweep_lock_leftovers(mbox.c_str());
    EXPECT_FALSE(exists(dir + "/" + names[0]));
    EXPECT_TRUE(exists(dir + "/" + live_name));
    EXPECT_TRUE(exists(dir + "/" + foreign));
    ::close(live.release_fd);
    ::waitpid(live.pid, nullptr, 0);
}

TEST_F(LockTest, SweepClearsAKilledSessionsLockMovedAsideButSparesOneStillInPlace) {
    const lock_holder killed = hold_in_child(mbox, true);
    const std::vector<std::string> second = owner_names(dir);
    ASSERT_EQ(second.size(), 1u);
    // Still the lock: the next login takes it over through its second name.
    sweep_lock_leftovers(mbox.c_str());
    EXPECT_EQ(read_file(lock), std::to_string(killed.pid));
    EXPECT_EQ(owner_names(dir), second);
    // Killed while moving its own lock aside at QUIT: two names of one file,
    // no lock name; neither ever has one link, so only the process's death
    // can tell that both may go.
    const std::string aside = lock + ".stale." + std::to_string(killed.pid) + ".777";
    ASSERT_EQ(::rename(lock.c_str(), aside.c_str()), 0);
    sweep_lock_leftovers(mbox.c_str());
    EXPECT_TRUE(owner_names(dir).empty());
    EXPECT_TRUE(list_folder(dir) == (std::vector<std::string>{"mbox.lock.guard", "spool"}));
}

TEST_F(LockTest, SweepClearsALockMovedAsideBeforeAPowerCutOnceAMinuteOld) {
    // A power cut while a session moved its own lock aside at QUIT: the
    // second name (of the boot before) and the aside name stay linked to
    // each other. A third name that is not a leftover keeps the file.
    const std::string second = lock + ".0123456789abcdef-pid4026531836.4242";
    const std::string aside = lock + ".stale.4242.99";
    const std::string kept_second = lock + ".0123456789abcdef-pid4026531836.4343";
    const std::string kept_aside = lock + ".stale.4343.98";
    write_file(second, "4242");
    ASSERT_EQ(::link(second.c_str(), aside.c_str()), 0);
    write_file(kept_second, "4343");
    ASSERT_EQ(::link(kept_second.c_str(), kept_aside.c_str()), 0);
    ASSERT_EQ(::link(kept_second.c_str(), (lock + ".backup").c_str()), 0);
    detail::clock_now = fake_clock;
    fake_now = std::time(nullptr) + 55;
    sweep_lock_leftovers(mbox.c_str());
    EXPECT_TRUE(exists(second) && exists(aside));
    fake_now = std::time(nullptr) + 61;
    sweep_lock_leftovers(mbox.c_str());
    EXPECT_FALSE(exists(second));
    EXPECT_FALSE(exists(aside));
    EXPECT_TRUE(exists(kept_second) && exists(kept_aside));
}

// The lock's mtime is set far back first; a renewal moves it to now.
bool renewed(const std::string& lock_path) {
    return stat_of(lock_path).st_mtime > 1000000;
}
void age_mtime(const std::string& lock_path) {
    const struct timespec times[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, lock_path.c_str(), times, 0), 0);
}

TEST_F(LockTest, RefreshTouchesOnlyOurOwnLockAtMostOnceAMinute) {
    fake_now = 50000;
    detail::clock_now = fake_clock;
    ASSERT_EQ(lock_maildrop(mbox.c_str(), 0, 0), 1);
    struct step {
        long long advance;
        bool expect_renewed;
    };
    // Taking the lock counts as a renewal; the limit runs from there.
    for (const step s : {step{0, false}, step{59, false}, step{1, true}, step{30, false},
                         step{30, true}, step{-7200, true}}) {
        SCOPED_TRACE(s.advance);
        age_mtime(lock);
        fake_now += s.advance;
        refresh_maildrop_lock(mbox.c_str());
        EXPECT_EQ(renewed(lock), s.expect_renewed);
    }
    // Another session's lock is never touched, even when the minute is up.
    write_file(lock, "1");
    age_mtime(lock);
    fake_now += 3600;
    refresh_maildrop_lock(mbox.c_str());
    EXPECT_FALSE(renewed(lock));
    EXPECT_EQ(read_file(lock), "1");
    // No remembered path, no lock file: nothing happens.
    refresh_maildrop_lock(nullptr);
    ::unlink(lock.c_str());
    detail::refresh_lock(mbox.c_str(), true);
    EXPECT_FALSE(exists(lock));
}

// Another session that believes the time is `now` tries to take the lock;
// returns its result.
int contender_result(const std::string& maildrop, std::time_t now) {
    const pid_t child = ::fork();
    if (child == 0) {
        fake_now = now;
        detail::clock_now = fake_clock;
        detail::lock_pause = [](int) {};
        ::_exit(lock_maildrop(maildrop.c_str(), 0, 0));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(LockTest, LongSessionKeepsItsLockFreshByRefreshing) {
    const std::string mine = std::to_string(getpid());
    // Without renewal, a lock older than 600 seconds is taken over.
    ASSERT_EQ(lock_maildrop(mbox.c_str(), 0, 0), 1);
    std::time_t created = stat_of(lock).st_ctime;
    EXPECT_EQ(contender_result(mbox, created + 601), 1);
    EXPECT_NE(read_file(lock), mine);
    ::unlink(lock.c_str());

    // With renewal the clock of the stale rule restarts at the refresh.
    ASSERT_EQ(lock_maildrop(mbox.c_str(), 0, 0), 1);
    created = stat_of(lock).st_ctime;
    while (std::time(nullptr) <= created) {
        const struct timespec brief = {0, 20 * 1000 * 1000};
        ::nanosleep(&brief, nullptr);
    }
    detail::refresh_lock(mbox.c_str(), true);
    ASSERT_GT(stat_of(lock).st_ctime, created);
    EXPECT_EQ(contender_result(mbox, created + 601), 0);
    EXPECT_EQ(read_file(lock), mine);
}

TEST_F(LockTest, StreamLockWaitsForAnotherProcess) {
    write_file(mbox, "From a\n");
    const std::string marker = dir + "/released";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        const int fd = ::open(mbox.c_str(), O_RDWR);
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        if (::fcntl(fd, F_SETLK, &fl) != 0) ::_exit(2);
        if (::write(ready[1], "x", 1) != 1) ::_exit(2);
        const struct timespec hold = {0, 200 * 1000 * 1000};
        ::nanosleep(&hold, nullptr);
        write_file(marker, "done");
        ::_exit(0);  // the exit releases the lock
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    const int fd = ::open(mbox.c_str(), O_RDWR);
    EXPECT_EQ(lock_stream(fd), 1);
    EXPECT_TRUE(exists(marker));  // granted only after the holder was done
    EXPECT_EQ(unlock_stream(fd), 1);
    ::close(fd);
    int status = 0;
    ::waitpid(holder, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

}  // namespace
}  // namespace tollmar::test
