#include "crash/reporting/frame_remover.h"

#include <algorithm>
#include <string>

namespace skald::crash {

namespace {

bool isSdkFrame(const Frame& frame) {
    if (!frame.package) return false;
    std::string package = *frame.package;
    std::transform(package.begin(), package.end(), package.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return package.find("/skald.framework/") != std::string::npos ||
           package.find("/skaldprivate.framework/") != std::string::npos;
}

}  // namespace

std::vector<std::shared_ptr<Frame>> FrameRemover::removeNonSdkFrames(
    const std::vector<std::shared_ptr<Frame>>& frames) {
    const auto first = std::find_if(frames.begin(), frames.end(),
                                    [](const auto& frame) { return frame && !isSdkFrame(*frame); });
    if (first == frames.end()) return frames;
    return {first, frames.end()};
}

}  // namespace skald::crash
