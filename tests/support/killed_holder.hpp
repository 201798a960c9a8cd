// A process that takes a shared table's lock and is killed while it holds
// it: the next taker must get the lock (and repair the table), not hang.
#pragma once
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tollmar::test {

// Forks a child that calls lock() and waits, and kills it with SIGKILL once it
// holds the lock. Then arms a 10-second alarm, so that a hang of the caller's
// next lock ends the test instead of the run (the caller disarms it).
inline void kill_a_lock_holder(bool (*lock)()) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        if (!lock()) _exit(1);
        (void)write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    close(ready[1]);
    ASSERT_EQ(kill(holder, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    ASSERT_TRUE(WIFSIGNALED(status));
    alarm(10);
}

}  // namespace tollmar::test
