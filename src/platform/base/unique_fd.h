#pragma once

#include <unistd.h>

#include <cerrno>

namespace skald::platform {

/// Closes `fd`. On Linux the descriptor is gone even when close reports
/// EINTR, so that is no failure, and it is never retried: by then the number
/// may belong to a descriptor another thread just opened.
inline int closeDescriptor(int fd) noexcept {
    if (::close(fd) == 0 || errno == EINTR) return 0;
    return -1;
}

/// Owns a file descriptor and closes it when destroyed. Move-only: one owner
/// at a time. -1 holds nothing.
class unique_fd {
  public:
    unique_fd() noexcept = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

    /// Hands the descriptor over without closing it.
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

    /// Closes the held descriptor, if any, and holds `fd` instead. 0, or -1
    /// with errno set when the close failed (the descriptor is gone all the
    /// same).
    int reset(int fd = -1) noexcept {
        const int old = fd_;
        fd_ = fd;
        if (old < 0 || old == fd) return 0;
        return closeDescriptor(old);
    }

  private:
    int fd_ = -1;
};

}  // namespace skald::platform
