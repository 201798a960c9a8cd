// The takeover race of three logins across hosts, forced through the lock's
// seams: `lock_race A B` where A and B name the same maildrop through two
// mounts of one store (two hosts). A stale lock is planted; the first login
// (on A) judges it, and from the clock read that sits between judging and
// removing, a second login on B runs whole; once the first has moved the
// lock aside, a third login (on A) links its file to the empty name. Every
// login told it holds the lock must still hold it: exits 0 when exactly one
// login was told so, 1 when more were, 2 when the set-up failed.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "maildrop/lock.hpp"
#include "maildrop/seams.hpp"

namespace {

using namespace tollmar::maildrop;

std::string on_a, on_b;
std::time_t stale_now = 0;
bool raced = false;
int rival_result = -1;
pid_t rival_pid = 0;
bool third_took = false;

std::time_t stale_clock() {
    return stale_now;
}

bool write_whole(const std::string& path, const char* text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::size_t length = std::char_traits<char>::length(text);
    const bool ok = ::write(fd, text, length) == static_cast<ssize_t>(length);
    return ::close(fd) == 0 && ok;
}

std::string read_whole(const std::string& path) {
    char text[64] = {};
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    return n > 0 ? std::string(text, static_cast<std::size_t>(n)) : "";
}

std::time_t racing_clock() {
    if (!raced) {
        raced = true;
        const pid_t rival = ::fork();
        if (rival == 0) {
            detail::clock_now = stale_clock;
            detail::on_lock_moved_aside = nullptr;
            ::_exit(lock_maildrop(on_b.c_str(), ::getuid(), ::getgid()) ? 1 : 0);
        }
        int status = 0;
        ::waitpid(rival, &status, 0);
        rival_result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        rival_pid = rival;
    }
    return stale_now;
}

void third_login() {
    const std::string name = on_a + ".lock";
    if (::access(name.c_str(), F_OK) == 0) return;
    const std::string third = on_a + ".third";
    if (!write_whole(third, "424242")) return;
    third_took = ::link(third.c_str(), name.c_str()) == 0;
    ::unlink(third.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: lock_race MAILDROP-ON-A MAILDROP-ON-B\n");
        return 2;
    }
    on_a = argv[1];
    on_b = argv[2];
    const std::string lock = on_a + ".lock";
    struct stat st;
    if (!write_whole(lock, "99999") || ::stat(lock.c_str(), &st) != 0) return 2;
    stale_now = st.st_ctime + 601;
    detail::clock_now = racing_clock;
    detail::on_lock_moved_aside = third_login;
    detail::lock_pause = [](int) {};
    const bool mine = lock_maildrop(on_a.c_str(), ::getuid(), ::getgid());
    const std::string held = read_whole(lock);
    int told = 0;
    if (rival_result == 1) {
        ++told;
        std::printf("second login (B, pid %d) told it holds the lock; the lock holds \"%s\"\n",
                    static_cast<int>(rival_pid), held.c_str());
    }
    if (third_took) {
        ++told;
        std::printf("third login (A) took the lock; the lock holds \"%s\"\n", held.c_str());
    }
    if (mine) {
        ++told;
        std::printf("first login (A) told it holds the lock; still held: %d\n",
                    holds_maildrop_lock(on_a.c_str()) ? 1 : 0);
        unlock_maildrop(on_a.c_str());
    }
    if (rival_result == -1) return 2;
    std::printf("%d login(s) told they hold the lock\n", told);
    return told == 1 ? 0 : 1;
}
