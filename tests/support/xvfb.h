#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace skald::test {

/// A virtual X server of the tests' own, on a display number it picks
/// itself. It lives as long as the test program: GTK keeps its connection
/// once opened, and ends the process when the server goes away under it.
class Xvfb {
  public:
    static constexpr const char* kPath = "/usr/bin/Xvfb";

    static bool installed() { return ::access(kPath, X_OK) == 0; }

    static Xvfb& shared() {
        static Xvfb server;
        return server;
    }

    ~Xvfb() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    /// ":N", or empty when the server did not start.
    const std::string& display() const { return display_; }

  private:
    Xvfb() {
        if (!installed()) return;
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls between fork and exec. The server
            // goes when the test program dies, even by a crash.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            // Xvfb writes the display number it chose to fd 3.
            ::dup2(fds[1], 3);
            ::execl(kPath, kPath, "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten",
                    "tcp", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        if (pid_ > 0) {
            std::string number;
            char c;
            pollfd fd{fds[0], POLLIN, 0};
            while (::poll(&fd, 1, 10000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') {
                number.push_back(c);
            }
            if (!number.empty()) display_ = ":" + number;
        }
        ::close(fds[0]);
    }

    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace skald::test
