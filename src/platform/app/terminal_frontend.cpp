#include "platform/app/terminal_frontend.h"

#include "platform/base/text_lines.h"
#include "platform/base/unique_fd.h"
#include "platform/base/utf8.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <strings.h>
#include <algorithm>
#include <asio/signal_set.hpp>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace skald::app {

namespace {

using namespace std::chrono_literals;

constexpr auto kMinRedrawInterval = 50ms;
constexpr auto kAnimationInterval = 100ms;
constexpr int kAnimationBlock = 4;

// Control characters would break the line layout (and are not wanted in a
// log file): each becomes a blank.
std::string sanitized(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text)
        out.push_back((c < 0x20 || c == 0x7f) ? ' ' : static_cast<char>(c));
    return out;
}

// Cuts to at most `width` code points, marking a cut with "...".
std::string truncated(const std::string& text, size_t width) {
    if (platform::utf8CodePointCount(text) <= width) return text;
    const size_t keep = width > 3 ? width - 3 : 0;
    return text.substr(0, platform::utf8PrefixLength(text, keep)) +
           std::string(std::min<size_t>(width, 3), '.');
}

std::string trimmed(const std::string& text) {
    const auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return {};
    const auto end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

}  // namespace

// Reads the input on a thread of its own, and only when asked, so that what
// is typed before an alert appears stays in the terminal (where it can be
// discarded) and a pipe is read no further than needed. Chunks are handed to
// the sink on the reader's thread.
class TerminalFrontend::InputReader {
  public:
    using Sink = std::function<void(std::string chunk, bool endOfInput)>;

    InputReader(int fd, Sink sink) : fd_(fd), sink_(std::move(sink)) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            wakeRead_.reset(fds[0]);
            wakeWrite_.reset(fds[1]);
        }
        thread_ = std::thread([this] { run(); });
    }

    ~InputReader() {
        {
            std::lock_guard guard(mutex_);
            stopping_ = true;
        }
        signal_.notify_all();
        if (wakeWrite_) {
            const char byte = 1;
            [[maybe_unused]] auto written = ::write(wakeWrite_.get(), &byte, 1);
        }
        thread_.join();
    }

    void request() {
        {
            std::lock_guard guard(mutex_);
            wanted_ = true;
        }
        signal_.notify_all();
    }

  private:
    void run() {
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                signal_.wait(lock, [&] { return wanted_ || stopping_; });
                if (stopping_) return;
                wanted_ = false;
            }
            if (!waitReadable()) return;
            char buffer[4096];
            ssize_t count;
            do {
                count = ::read(fd_, buffer, sizeof buffer);
            } while (count < 0 && errno == EINTR);
            if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                request();
                continue;
            }
            if (count <= 0) {
                sink_({}, true);
                return;
            }
            sink_(std::string(buffer, static_cast<size_t>(count)), false);
        }
    }

    // False when stopping.
    bool waitReadable() {
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
            const int ready = ::poll(fds, wakeRead_ ? 2 : 1, -1);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return true;  // the read reports the failure
            if (wakeRead_ && fds[1].revents != 0) {
                std::lock_guard guard(mutex_);
                if (stopping_) return false;
                char drain[16];
                while (::read(wakeRead_.get(), drain, sizeof drain) > 0) {
                }
            }
            if (fds[0].revents != 0) return true;
        }
    }

    int fd_;
    Sink sink_;
    platform::unique_fd wakeRead_;
    platform::unique_fd wakeWrite_;
    std::mutex mutex_;
    std::condition_variable signal_;
    bool wanted_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

// Ctrl-C, SIGTERM and SIGHUP end the application in order; the watch then
// ends, so a second one kills the process the usual way. SIGWINCH redraws.
class TerminalFrontend::SignalWatcher {
  public:
    SignalWatcher(asio::io_context& io, bool resize, std::function<void(int)> onTerminate,
                  std::function<void()> onResize)
        : terminate_(io, SIGINT, SIGTERM, SIGHUP),
          resize_(io),
          onTerminate_(std::move(onTerminate)),
          onResize_(std::move(onResize)) {
        terminate_.async_wait([this](const std::error_code& error, int signal) {
            if (error) return;
            terminate_.clear();
            onTerminate_(signal);
        });
        if (resize) {
            resize_.add(SIGWINCH);
            waitResize();
        }
    }

  private:
    void waitResize() {
        resize_.async_wait([this](const std::error_code& error, int) {
            if (error) return;
            onResize_();
            waitResize();
        });
    }

    asio::signal_set terminate_;
    asio::signal_set resize_;
    std::function<void(int)> onTerminate_;
    std::function<void()> onResize_;
};

TerminalFrontend::TerminalFrontend(TerminalOptions options) : options_(options) {
    const char* term = std::getenv("TERM");
    const bool dumb = term != nullptr && std::strcmp(term, "dumb") == 0;
    interactive_ = options_.interactive.value_or(::isatty(options_.outputFd) == 1 && !dumb);
    const char* noColor = std::getenv("NO_COLOR");
    color_ = interactive_ && (noColor == nullptr || noColor[0] == '\0');
    inputIsTerminal_ = ::isatty(options_.inputFd) == 1;
}

TerminalFrontend::~TerminalFrontend() {
    // The reader hands chunks to the loop, which goes with this object.
    reader_.reset();
    signals_.reset();
}

void TerminalFrontend::start(FrontendHost& host) {
    host_ = &host;
    reader_ = std::make_unique<InputReader>(options_.inputFd, [this](std::string chunk, bool end) {
        loop_.post(
            [this, chunk = std::move(chunk), end]() mutable { onInput(std::move(chunk), end); });
    });
    if (options_.handleSignals) {
        signals_ = std::make_unique<SignalWatcher>(
            loop_.io(), interactive_,
            [this](int signal) {
                // Host code runs as a loop block, not inside the asio handler.
                loop_.post([this, signal] {
                    if (host_ && !stopped_) host_->frontendRequestsTermination(128 + signal);
                });
            },
            [this] { loop_.post([this] { requestRedraw(); }); });
    }
}

void TerminalFrontend::write(const std::string& text) {
    if (outputBroken_ || text.empty()) return;
    size_t offset = 0;
    while (offset < text.size()) {
        const ssize_t written =
            ::write(options_.outputFd, text.data() + offset, text.size() - offset);
        if (written > 0) {
            offset += static_cast<size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd fd{options_.outputFd, POLLOUT, 0};
            ::poll(&fd, 1, 1000);
        } else {
            // A closed pipe or a full disk: the application goes on unseen.
            outputBroken_ = true;
            return;
        }
    }
}

std::string TerminalFrontend::styled(const std::string& text, const char* code) const {
    if (!color_) return text;
    return std::string("\x1b[") + code + "m" + text + "\x1b[0m";
}

void TerminalFrontend::showWindow(Window& window) {
    window_ = &window;
    if (!window.title().empty()) write(sanitized(window.title()) + "\n");
    if (interactive_) {
        requestRedraw();
        updateAnimation();
        return;
    }
    printPlainLabel();
    const ProgressState& progress = window.progressIndicator().state();
    lastPlainTenth_ =
        progress.indeterminate ? -1 : static_cast<int>(std::floor(progress.value / 10.0));
}

void TerminalFrontend::titleDidChange(Window&) {
    // The title is printed once, as a heading; it is not redrawn.
}

void TerminalFrontend::labelDidChange(Window&) {
    if (interactive_) {
        requestRedraw();
    } else {
        printPlainLabel();
    }
}

void TerminalFrontend::progressDidChange(Window& window, ProgressChange) {
    if (interactive_) {
        updateAnimation();
        requestRedraw();
        return;
    }
    if (window.progressIndicator().isIndeterminate()) {
        // Determinate again later: its next value is printed.
        lastPlainTenth_ = -1;
        return;
    }
    printPlainProgress();
}

// ---- Plain lines ----

void TerminalFrontend::printPlainLabel() {
    if (!window_ || stopped_) return;
    const std::string text = sanitized(window_->label().text());
    if (text.empty() || text == lastPlainLabel_) return;
    lastPlainLabel_ = text;
    write(text + "\n");
}

void TerminalFrontend::printPlainProgress() {
    if (!window_ || stopped_) return;
    const int tenth =
        static_cast<int>(std::floor(window_->progressIndicator().doubleValue() / 10.0));
    if (tenth == lastPlainTenth_) return;
    lastPlainTenth_ = tenth;
    write("Progress: " + std::to_string(tenth * 10) + "%\n");
}

// ---- Interactive status line ----

int TerminalFrontend::columns() const {
    winsize size{};
    if (::ioctl(options_.outputFd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return options_.fallbackColumns;
}

std::string TerminalFrontend::statusLine() const {
    // One column is left free: writing the last one makes some terminals wrap.
    const int width = std::max(columns() - 1, 20);
    const int cells = width >= 70 ? 30 : (width >= 45 ? 20 : 10);
    const ProgressState& progress = window_->progressIndicator().state();

    std::string bar = "[";
    if (progress.indeterminate) {
        const int span = cells - kAnimationBlock;
        int position = span > 0 ? animationFrame_ % (2 * span) : 0;
        if (position > span) position = 2 * span - position;
        bar += std::string(position, ' ') + std::string(kAnimationBlock, '=') +
               std::string(cells - kAnimationBlock - position, ' ') + "]     ";
    } else {
        const int filled = static_cast<int>(std::lround(progress.value / 100.0 * cells));
        const int percent = static_cast<int>(std::floor(progress.value));
        char number[8];
        std::snprintf(number, sizeof number, "%3d%%", percent);
        bar += std::string(filled, '#') + std::string(cells - filled, '-') + "] " + number;
    }
    const size_t labelWidth =
        static_cast<size_t>(std::max(width - static_cast<int>(bar.size()) - 2, 0));
    std::string label = truncated(sanitized(window_->label().text()), labelWidth);
    label += std::string(labelWidth - platform::utf8CodePointCount(label), ' ');
    return label + "  " + bar;
}

void TerminalFrontend::requestRedraw() {
    if (!interactive_ || !window_ || stopped_ || !prompts_.empty()) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ >= kMinRedrawInterval) {
        drawStatus();
        return;
    }
    // Updates come in bursts (a download's progress); one draw covers them.
    if (redrawTimer_ && redrawTimer_->isValid()) return;
    const auto wait = std::chrono::duration_cast<Duration>(kMinRedrawInterval - (now - lastDraw_));
    redrawTimer_ = loop_.scheduleTimer(wait, false, [this] {
        redrawTimer_.reset();
        requestRedraw();
    });
}

void TerminalFrontend::drawStatus() {
    if (!window_ || stopped_) return;
    std::string out;
    if (!cursorHidden_) {
        out += "\x1b[?25l";
        cursorHidden_ = true;
    }
    out += "\r" + statusLine() + "\x1b[K";
    write(out);
    statusVisible_ = true;
    lastDraw_ = std::chrono::steady_clock::now();
}

void TerminalFrontend::clearStatus() {
    if (!statusVisible_) return;
    write("\r\x1b[K");
    statusVisible_ = false;
}

void TerminalFrontend::updateAnimation() {
    if (!interactive_ || !window_) return;
    const ProgressState& progress = window_->progressIndicator().state();
    const bool wanted = !stopped_ && progress.indeterminate && progress.animating;
    if (wanted == (animationTimer_ != nullptr)) return;
    if (!wanted) {
        animationTimer_->invalidate();
        animationTimer_.reset();
        return;
    }
    animationTimer_ = loop_.scheduleTimer(kAnimationInterval, true, [this] {
        ++animationFrame_;
        requestRedraw();
    });
}

// ---- Alerts ----

void TerminalFrontend::presentAlert(const AlertRequest& request, AlertCompletion completion) {
    if (stopped_) return;
    auto prompt = std::make_unique<Prompt>();
    prompt->request = request;
    if (prompt->request.buttons.empty()) prompt->request.buttons.emplace_back("OK");
    prompt->completion = std::move(completion);
    prompts_.push_back(std::move(prompt));
    // Answers reach the application from the loop, never from inside this call.
    loop_.post([this] { refreshPrompts(); });
}

TerminalFrontend::Prompt* TerminalFrontend::activePrompt() {
    for (auto it = prompts_.rbegin(); it != prompts_.rend(); ++it) {
        if (!(*it)->request.sheet) return it->get();
    }
    return prompts_.empty() ? nullptr : prompts_.front().get();
}

void TerminalFrontend::refreshPrompts() {
    if (stopped_) return;
    for (Prompt* prompt = activePrompt(); prompt != nullptr; prompt = activePrompt()) {
        if (prompt != displayed_) {
            const bool wasIdle = displayed_ == nullptr;
            clearStatus();
            if (cursorHidden_) {
                write("\x1b[?25h");
                cursorHidden_ = false;
            }
            printPrompt(*prompt);
            displayed_ = prompt;
            // Keys pressed before the alert appeared must not answer it.
            if (wasIdle && inputIsTerminal_ && inputBuffer_.empty() && !readPending_) {
                ::tcflush(options_.inputFd, TCIFLUSH);
            }
        }
        const size_t newline = inputBuffer_.find('\n');
        if (newline != std::string::npos) {
            std::string line = inputBuffer_.substr(0, newline);
            inputBuffer_.erase(0, newline + 1);
            if (!handleLine(*prompt, line)) continue;
        } else if (endOfInput_ && !inputBuffer_.empty()) {
            // A last line without its newline still counts.
            std::string line;
            line.swap(inputBuffer_);
            if (!handleLine(*prompt, line)) continue;
        } else if (endOfInput_) {
            const ModalResponse response = prompt->request.dismissResponse();
            const auto& title =
                prompt->request.buttons[static_cast<size_t>(response - kAlertFirstButtonReturn)];
            answer(*prompt, response, "(end of input) " + sanitized(title));
        } else {
            if (!readPending_ && reader_) {
                readPending_ = true;
                reader_->request();
            }
            return;
        }
        if (stopped_) return;
    }
    // No alert left: the status line comes back.
    displayed_ = nullptr;
    requestRedraw();
}

void TerminalFrontend::printPrompt(const Prompt& prompt) {
    const AlertRequest& request = prompt.request;
    std::string out = "\n";
    switch (request.style) {
        case AlertStyle::Critical:
            out += styled("(!) ", "1;31");
            break;
        case AlertStyle::Warning:
            out += styled("(!) ", "1;33");
            break;
        case AlertStyle::Informational:
            out += styled("(i) ", "1");
            break;
    }
    out += styled(sanitized(request.messageText), "1") + "\n";
    if (!request.informativeText.empty()) {
        for (const auto& line : platform::splitLines(request.informativeText))
            out += sanitized(line) + "\n";
    }
    for (size_t i = 0; i < request.buttons.size(); ++i) {
        out += "  " + std::to_string(i + 1) + ") " + sanitized(request.buttons[i]) + "\n";
    }
    write(out);
    printPromptLine(prompt);
}

void TerminalFrontend::printPromptLine(const Prompt& prompt) {
    const size_t count = prompt.request.buttons.size();
    if (count == 1) {
        write("Press Return to continue [1]: ");
    } else {
        write("Choose 1-" + std::to_string(count) + " [1]: ");
    }
}

bool TerminalFrontend::handleLine(Prompt& prompt, const std::string& rawLine) {
    const std::string line = trimmed(rawLine);
    const auto& buttons = prompt.request.buttons;
    // A terminal has echoed the line already; input from elsewhere has not.
    const std::string echo = inputIsTerminal_ ? std::string() : sanitized(line);
    if (line.empty()) {
        answer(prompt, kAlertFirstButtonReturn, inputIsTerminal_ ? "" : sanitized(buttons[0]));
        return true;
    }
    if (std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
        line.size() <= 4) {
        const size_t number = std::stoul(line);
        if (number >= 1 && number <= buttons.size()) {
            answer(prompt, kAlertFirstButtonReturn + static_cast<ModalResponse>(number - 1), echo);
            return true;
        }
    } else {
        for (size_t i = 0; i < buttons.size(); ++i) {
            if (::strcasecmp(buttons[i].c_str(), line.c_str()) == 0) {
                answer(prompt, kAlertFirstButtonReturn + static_cast<ModalResponse>(i), echo);
                return true;
            }
        }
    }
    std::string out = inputIsTerminal_ ? std::string() : echo + "\n";
    out += buttons.size() == 1
               ? "Please press Return.\n"
               : "Please answer with a number from 1 to " + std::to_string(buttons.size()) + ".\n";
    write(out);
    printPromptLine(prompt);
    return false;
}

void TerminalFrontend::answer(Prompt& prompt, ModalResponse response, const std::string& echo) {
    if (!inputIsTerminal_ || !echo.empty()) write(echo + "\n");
    AlertCompletion completion = std::move(prompt.completion);
    auto it = std::find_if(prompts_.begin(), prompts_.end(),
                           [&](const auto& entry) { return entry.get() == &prompt; });
    if (it != prompts_.end()) prompts_.erase(it);
    displayed_ = nullptr;
    if (completion) completion(response);
}

void TerminalFrontend::onInput(std::string chunk, bool endOfInput) {
    readPending_ = false;
    if (stopped_) return;
    inputBuffer_ += chunk;
    if (endOfInput) endOfInput_ = true;
    refreshPrompts();
}

// ---- End ----

void TerminalFrontend::stop() {
    if (stopped_) return;
    std::string out;
    if (!prompts_.empty()) out += "\n";  // ends an unanswered prompt's line
    if (interactive_ && window_ && prompts_.empty()) {
        out += "\r" + statusLine() + "\x1b[K\n";
    } else if (statusVisible_) {
        out += "\n";
    }
    if (cursorHidden_) out += "\x1b[?25h";
    write(out);
    stopped_ = true;
    statusVisible_ = false;
    cursorHidden_ = false;
    prompts_.clear();
    displayed_ = nullptr;
    if (animationTimer_) animationTimer_->invalidate();
    if (redrawTimer_) redrawTimer_->invalidate();
    animationTimer_.reset();
    redrawTimer_.reset();
    reader_.reset();
    signals_.reset();
}

void TerminalFrontend::prepareForAbort() {
    if (!cursorHidden_ && !statusVisible_) return;
    static const char kRestore[] = "\r\n\x1b[?25h";
    [[maybe_unused]] auto written = ::write(options_.outputFd, kRestore, sizeof kRestore - 1);
    cursorHidden_ = false;
    statusVisible_ = false;
}

}  // namespace skald::app
