#include "platform/base/unique_fd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace skald::platform {
namespace {

// A pipe whose write end is handed out: its read end tells when every copy of
// the write end is closed (it then reads end of file), without guessing at
// descriptor numbers that another thread may reuse.
class WatchedPipe {
  public:
    WatchedPipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) ADD_FAILURE() << "no pipe";
        read_ = fds[0];
        write_ = fds[1];
    }
    ~WatchedPipe() {
        if (read_ >= 0) ::close(read_);
        if (write_ >= 0) ::close(write_);
    }
    /// The write end, for a unique_fd to own from now on.
    int takeWriteEnd() { return std::exchange(write_, -1); }
    bool writeEndClosed() const {
        char byte;
        return ::read(read_, &byte, 1) == 0;
    }

  private:
    int read_ = -1;
    int write_ = -1;
};

TEST(UniqueFdTest, HoldsNothingByDefault) {
    unique_fd fd;
    EXPECT_FALSE(fd);
    EXPECT_EQ(fd.get(), -1);
    EXPECT_EQ(fd.release(), -1);
    EXPECT_EQ(fd.reset(), 0);
}

TEST(UniqueFdTest, ClosesWhenDestroyed) {
    WatchedPipe pipe;
    {
        unique_fd fd(pipe.takeWriteEnd());
        EXPECT_TRUE(fd);
        EXPECT_FALSE(pipe.writeEndClosed());
    }
    EXPECT_TRUE(pipe.writeEndClosed());
}

TEST(UniqueFdTest, MovingHandsOverWithoutClosing) {
    WatchedPipe pipe;
    unique_fd first(pipe.takeWriteEnd());
    const int number = first.get();
    unique_fd second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), number);
    { unique_fd gone(std::move(first)); }
    EXPECT_FALSE(pipe.writeEndClosed());
    second = unique_fd();
    EXPECT_TRUE(pipe.writeEndClosed());
}

TEST(UniqueFdTest, MoveAssignmentClosesWhatWasHeld) {
    WatchedPipe replaced;
    WatchedPipe kept;
    unique_fd target(replaced.takeWriteEnd());
    unique_fd source(kept.takeWriteEnd());
    target = std::move(source);
    EXPECT_TRUE(replaced.writeEndClosed());
    EXPECT_FALSE(kept.writeEndClosed());
    auto& alias = target;
    target = std::move(alias);
    EXPECT_TRUE(target);
    EXPECT_FALSE(kept.writeEndClosed());
}

TEST(UniqueFdTest, ResetClosesOnceAndTakesTheNewDescriptor) {
    WatchedPipe old;
    WatchedPipe next;
    unique_fd fd(old.takeWriteEnd());
    const int nextNumber = next.takeWriteEnd();
    EXPECT_EQ(fd.reset(nextNumber), 0);
    EXPECT_TRUE(old.writeEndClosed());
    EXPECT_EQ(fd.get(), nextNumber);
    // Resetting to what it holds keeps it open.
    EXPECT_EQ(fd.reset(nextNumber), 0);
    EXPECT_FALSE(next.writeEndClosed());
    EXPECT_EQ(fd.reset(), 0);
    EXPECT_TRUE(next.writeEndClosed());
    // A second reset has nothing left to close.
    EXPECT_EQ(fd.reset(), 0);
    EXPECT_FALSE(fd);
}

TEST(UniqueFdTest, ReleaseLeavesTheDescriptorOpen) {
    WatchedPipe pipe;
    int released;
    {
        unique_fd fd(pipe.takeWriteEnd());
        released = fd.release();
        EXPECT_FALSE(fd);
    }
    EXPECT_FALSE(pipe.writeEndClosed());
    EXPECT_EQ(closeDescriptor(released), 0);
    EXPECT_TRUE(pipe.writeEndClosed());
}

TEST(UniqueFdTest, ReportsAFailedClose) {
    // Far above any descriptor this process has open.
    unique_fd fd(1 << 29);
    errno = 0;
    EXPECT_EQ(fd.reset(), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_FALSE(fd);
}

}  // namespace
}  // namespace skald::platform
