#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace skald::test {

/// What a broken or hostile environment may leave under a name the SDK reads.
enum class Hostile {
    Fifo,              ///< blocks a plain open() until a writer comes
    SymlinkToDevZero,  ///< endless bytes when followed
    SymlinkOutside,    ///< leads to a file outside the SDK's folders
    Directory,         ///< with a file inside
    HugeFile,          ///< 100 MB, sparse
};

inline const std::vector<Hostile>& allHostileKinds() {
    static const std::vector<Hostile> kinds = {Hostile::Fifo, Hostile::SymlinkToDevZero,
                                               Hostile::SymlinkOutside, Hostile::Directory,
                                               Hostile::HugeFile};
    return kinds;
}

inline const char* hostileName(Hostile kind) {
    switch (kind) {
        case Hostile::Fifo:
            return "FIFO";
        case Hostile::SymlinkToDevZero:
            return "symlink to /dev/zero";
        case Hostile::SymlinkOutside:
            return "symlink to a file outside";
        case Hostile::Directory:
            return "directory";
        case Hostile::HugeFile:
            return "100 MB file";
    }
    return "?";
}

/// Test names for parameterised tests over the kinds: "FIFO", "symlinktodevzero", ...
inline std::string hostileTestName(const ::testing::TestParamInfo<Hostile>& info) {
    std::string name = hostileName(info.param);
    std::erase_if(name, [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); });
    return name;
}

/// Puts `kind` at `path`; a symlink outside points at `outsideTarget`.
inline void plantHostile(Hostile kind, const std::string& path, const std::string& outsideTarget) {
    namespace fs = std::filesystem;
    fs::create_directories(fs::path(path).parent_path());
    switch (kind) {
        case Hostile::Fifo:
            if (::mkfifo(path.c_str(), 0600) != 0) std::perror("mkfifo");
            break;
        case Hostile::SymlinkToDevZero:
            fs::create_symlink("/dev/zero", path);
            break;
        case Hostile::SymlinkOutside:
            fs::create_symlink(outsideTarget, path);
            break;
        case Hostile::Directory:
            fs::create_directory(path);
            std::ofstream(path + "/inside") << "inside";
            break;
        case Hostile::HugeFile: {
            const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
            if (fd < 0 || ::ftruncate(fd, 100'000'000) != 0) std::perror("huge file");
            if (fd >= 0) ::close(fd);
            break;
        }
    }
}

/// Whether anything, even a dangling symlink, is at `path`.
inline bool entryExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

/// Ends the whole test program when the scope is not left within `limit`, so
/// that code that hangs (on a FIFO, say) fails the test instead of stalling
/// the suite.
class Watchdog {
  public:
    Watchdog(std::chrono::milliseconds limit, std::string what)
        : what_(std::move(what)), thread_([this, limit] {
              std::unique_lock lock(mutex_);
              if (!done_.wait_for(lock, limit, [this] { return finished_; })) {
                  std::fprintf(stderr, "Watchdog: %s did not finish within %lld ms\n",
                               what_.c_str(), static_cast<long long>(limit.count()));
                  std::fflush(stderr);
                  ::_exit(3);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    std::string what_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

}  // namespace skald::test
