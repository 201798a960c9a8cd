// The owned descriptor closes exactly once, on scope exit or reset, never
// after release, and keeps errno across the close.
#include "util/unique_fd.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

using tollmar::util::unique_fd;

bool is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

int open_null() {
    return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

TEST(UniqueFd, ClosesOnScopeExitAndResetButNotAfterRelease) {
    int raw = open_null();
    ASSERT_GE(raw, 0);
    {
        const unique_fd owner(raw);
        EXPECT_TRUE(owner.valid());
        EXPECT_EQ(owner.get(), raw);
    }
    EXPECT_FALSE(is_open(raw));

    raw = open_null();
    unique_fd owner(raw);
    const int other = open_null();
    owner.reset(other);
    EXPECT_FALSE(is_open(raw));
    EXPECT_TRUE(is_open(other));
    EXPECT_EQ(owner.release(), other);
    EXPECT_FALSE(owner.valid());
    owner.reset();
    EXPECT_TRUE(is_open(other)) << "released descriptors are the caller's";
    close(other);
}

TEST(UniqueFd, MoveHandsOverTheOneDescriptor) {
    const int raw = open_null();
    unique_fd first(raw);
    unique_fd second(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.get(), raw);
    unique_fd third;
    third = std::move(second);
    EXPECT_EQ(third.get(), raw);
    third = unique_fd();
    EXPECT_FALSE(is_open(raw));
}

TEST(UniqueFd, ResetKeepsErrno) {
    unique_fd owner(open_null());
    errno = ENOSPC;
    owner.reset();
    EXPECT_EQ(errno, ENOSPC);
    unique_fd bad(-1);
    errno = EROFS;
    bad.reset();
    EXPECT_EQ(errno, EROFS);
}

}  // namespace
