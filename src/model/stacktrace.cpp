#include "skald/stacktrace.h"

#include "util/dictionary.h"
#include "util/log.h"

namespace skald {

Stacktrace::Stacktrace(std::vector<std::shared_ptr<Frame>> frames,
                       std::map<std::string, std::string> registers)
    : frames(std::move(frames)), registers(std::move(registers)) {}

void Stacktrace::fixDuplicateFrames() {
    if (frames.size() < 2 || registers.empty()) return;
    const auto& last = frames[frames.size() - 1];
    const auto& beforeLast = frames[frames.size() - 2];
    if (!last || !beforeLast) return;
    const auto linkRegister = registers.find("lr");
    if (linkRegister == registers.end()) return;
    if (last->symbolAddress && beforeLast->symbolAddress &&
        *last->symbolAddress == *beforeLast->symbolAddress && beforeLast->instructionAddress &&
        linkRegister->second == *beforeLast->instructionAddress) {
        frames.erase(frames.end() - 2);
        SKALD_LOG_DEBUG("Found duplicate frame, removing one with link register");
    }
}

Json Stacktrace::serialize() const {
    Json result = objectWithCapacity(4);
    Json serializedFrames = Json::array();
    auto& elements = serializedFrames.get_ref<Json::array_t&>();
    elements.reserve(frames.size());
    for (const auto& frame : frames) {
        if (!frame) continue;
        Json serialized = frame->serialize();
        if (!serialized.empty()) elements.push_back(std::move(serialized));
    }
    if (!elements.empty()) appendEntry(result, "frames", std::move(serializedFrames));
    if (!registers.empty()) appendEntry(result, "registers", objectFromMap(registers));
    appendBoolIfSet(result, "snapshot", snapshot);
    if (framesOmitted) {
        appendEntry(result, "frames_omitted",
                    Json::array({framesOmitted->first, framesOmitted->second}));
    }
    return result;
}

}  // namespace skald
