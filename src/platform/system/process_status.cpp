#include "platform/system/process_status.h"

#include <fstream>
#include <sstream>

namespace skald::platform {

std::optional<std::string> statusField(const std::string& text, const std::string& key) {
    std::istringstream lines(text);
    std::string line;
    const std::string prefix = key + ":";
    while (std::getline(lines, line)) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        const auto start = line.find_first_not_of(" \t", prefix.size());
        return start == std::string::npos ? std::string() : line.substr(start);
    }
    return std::nullopt;
}

bool isBeingTraced() {
    std::ifstream file("/proc/self/status");
    if (!file) return false;
    std::stringstream text;
    text << file.rdbuf();
    const auto tracer = statusField(text.str(), "TracerPid");
    return tracer && !tracer->empty() && *tracer != "0";
}

}  // namespace skald::platform
