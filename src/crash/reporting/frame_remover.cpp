#include "crash/reporting/frame_remover.h"

#include <algorithm>
#include <string>

namespace skald::crash {

namespace {

bool isSdkPackage(const std::string& path) {
    std::string package = path;
    std::transform(package.begin(), package.end(), package.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return package.find("/skald.framework/") != std::string::npos ||
           package.find("/skaldprivate.framework/") != std::string::npos;
}

bool isSdkFrame(const Frame& frame) {
    return (frame.package && isSdkPackage(*frame.package)) ||
           (frame.function && FrameRemover::isSdkFunction(*frame.function));
}

}  // namespace

bool FrameRemover::isSdkFunction(std::string_view symbolName) {
    // A mangled name whose outermost scope is "skald"; "K" marks a const member.
    return symbolName.starts_with("_ZN5skald") || symbolName.starts_with("_ZNK5skald");
}

std::vector<std::shared_ptr<Frame>> FrameRemover::removeNonSdkFrames(
    const std::vector<std::shared_ptr<Frame>>& frames) {
    const auto first = std::find_if(frames.begin(), frames.end(),
                                    [](const auto& frame) { return frame && !isSdkFrame(*frame); });
    if (first == frames.end()) return frames;
    return {first, frames.end()};
}

}  // namespace skald::crash
