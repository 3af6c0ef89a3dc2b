#include "support/log_capture.h"

namespace skald::test {

LogCapture::LogCapture(Level level) {
    Log::setOutput([this](const std::string& line) {
        std::lock_guard guard(mutex_);
        lines_.push_back(line);
    });
    Log::configure(true, level);
}

LogCapture::~LogCapture() {
    Log::configure(false, Level::Debug);
    Log::setOutput(nullptr);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard guard(mutex_);
    return lines_;
}

bool LogCapture::contains(const std::string& text) const {
    return count(text) > 0;
}

size_t LogCapture::count(const std::string& text) const {
    std::lock_guard guard(mutex_);
    size_t n = 0;
    for (const auto& line : lines_) {
        if (line.find(text) != std::string::npos) ++n;
    }
    return n;
}

void LogCapture::clear() {
    std::lock_guard guard(mutex_);
    lines_.clear();
}

}  // namespace skald::test
