#include "integrations/diagnostics/mx_event_builder.h"

#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "crash/reporting/hex_address.h"
#include "skald/exception.h"
#include "skald/mechanism.h"
#include "skald/thread.h"
#include "util/log.h"

namespace skald {

namespace {

uint64_t imageAddressOf(const MXFrame& frame) {
    // Unsigned wrap-around keeps a bogus offset from being undefined behaviour.
    return frame.address - static_cast<uint64_t>(frame.offsetIntoBinaryTextSegment);
}

std::shared_ptr<DebugMeta> debugMetaOf(const MXFrame& frame) {
    auto image = std::make_shared<DebugMeta>();
    // The binaries of this platform are ELF files.
    image->type = "elf";
    image->debugID = frame.binaryUUID;
    image->codeFile = frame.binaryName;
    image->imageAddress = crash::hexAddress(imageAddressOf(frame));
    return image;
}

void attachStacktrace(Event& event, const std::shared_ptr<Stacktrace>& stacktrace,
                      uint64_t threadId) {
    const auto& exception = event.exceptions.front();
    exception->stacktrace = stacktrace;
    exception->threadId = threadId;
}

}  // namespace

MXEventBuilder::MXEventBuilder(InAppLogic inAppLogic) : inAppLogic_(std::move(inAppLogic)) {}

std::shared_ptr<Event> MXEventBuilder::createEvent(const MXExceptionParams& params) const {
    auto event = std::make_shared<Event>(params.level);
    event->timestamp = params.timeStampBegin;
    auto exception = std::make_shared<Exception>(params.exceptionValue, params.exceptionType);
    exception->mechanism = std::make_shared<Mechanism>(params.exceptionMechanism);
    exception->mechanism->handled = params.handled;
    exception->mechanism->synthetic = true;
    event->exceptions = {std::move(exception)};
    return event;
}

std::shared_ptr<Stacktrace> MXEventBuilder::convertMXFramesToSkaldStacktrace(
    const std::vector<const MXFrame*>& frames) const {
    std::vector<std::shared_ptr<Frame>> converted;
    converted.reserve(frames.size());
    for (const MXFrame* mxFrame : frames) {
        auto frame = std::make_shared<Frame>();
        frame->package = mxFrame->binaryName;
        frame->inApp = inAppLogic_.isInApp(mxFrame->binaryName);
        frame->instructionAddress = crash::hexAddress(mxFrame->address);
        frame->imageAddress = crash::hexAddress(imageAddressOf(*mxFrame));
        frame->instruction = mxFrame->address;
        converted.push_back(std::move(frame));
    }
    return std::make_shared<Stacktrace>(std::move(converted), std::map<std::string, std::string>{});
}

std::vector<std::shared_ptr<DebugMeta>> MXEventBuilder::extractDebugMetaFromMXFrames(
    const std::vector<const MXFrame*>& frames) {
    std::vector<std::shared_ptr<DebugMeta>> images;
    std::map<std::string, size_t> seen;
    for (const MXFrame* frame : frames) {
        if (seen.emplace(frame->binaryUUID, images.size()).second) {
            images.push_back(debugMetaOf(*frame));
        }
    }
    return images;
}

std::vector<std::shared_ptr<DebugMeta>> MXEventBuilder::extractDebugMetaFromMXCallStacks(
    const std::vector<MXCallStack>& callStacks) {
    std::vector<std::shared_ptr<DebugMeta>> images;
    std::map<std::string, size_t> positions;
    for (const auto& stack : callStacks) {
        for (auto& image : extractDebugMetaFromMXFrames(stack.flattenedRootFrames())) {
            const auto [it, added] = positions.emplace(*image->debugID, images.size());
            if (added) {
                images.push_back(std::move(image));
            } else {
                images[it->second] = std::move(image);
            }
        }
    }
    return images;
}

std::vector<std::shared_ptr<Event>> MXEventBuilder::eventsForTree(
    const MXCallStackTree& tree, const MXExceptionParams& params) const {
    if (tree.callStackPerThread) return {eventForPerThreadTree(tree, params)};
    std::vector<std::shared_ptr<Event>> events;
    for (const auto& stack : tree.callStacks) {
        for (const auto& root : stack.callStackRootFrames) {
            appendLeafPathEvents(root, params, events);
        }
    }
    return events;
}

std::shared_ptr<Event> MXEventBuilder::eventForPerThreadTree(
    const MXCallStackTree& tree, const MXExceptionParams& params) const {
    auto event = createEvent(params);
    for (size_t index = 0; index < tree.callStacks.size(); ++index) {
        auto frames = tree.callStacks[index].flattenedRootFrames();
        std::reverse(frames.begin(), frames.end());
        auto thread = std::make_shared<Thread>(index);
        thread->stacktrace = convertMXFramesToSkaldStacktrace(frames);
        if (index == 0) {
            thread->crashed = !params.handled;
            attachStacktrace(*event, thread->stacktrace, 0);
        }
        event->threads.push_back(std::move(thread));
    }
    event->debugMeta = extractDebugMetaFromMXCallStacks(tree.callStacks);
    return event;
}

std::shared_ptr<Event> MXEventBuilder::eventNotPerThread(const std::vector<const MXFrame*>& frames,
                                                         const MXExceptionParams& params) const {
    auto event = createEvent(params);
    auto thread = std::make_shared<Thread>(0);
    thread->crashed = !params.handled;
    thread->stacktrace = convertMXFramesToSkaldStacktrace(frames);
    attachStacktrace(*event, thread->stacktrace, 0);
    event->threads = {std::move(thread)};
    event->debugMeta = extractDebugMetaFromMXFrames(frames);
    return event;
}

void MXEventBuilder::appendLeafPathEvents(const MXFrame& root, const MXExceptionParams& params,
                                          std::vector<std::shared_ptr<Event>>& events) const {
    if (events.size() >= kMaxEventsPerDiagnostic) return;
    // Depth first without recursion: each entry is a frame of the current
    // path and the index of its next sub-frame to visit.
    std::vector<std::pair<const MXFrame*, size_t>> path{{&root, 0}};
    while (!path.empty()) {
        auto& [frame, next] = path.back();
        if (frame->subFrames.empty()) {
            if (events.size() >= kMaxEventsPerDiagnostic) {
                SKALD_LOG_WARNING(
                    "A diagnostic's tree has more than %zu leaves; the rest are "
                    "not reported.",
                    kMaxEventsPerDiagnostic);
                return;
            }
            std::vector<const MXFrame*> frames;
            frames.reserve(path.size());
            for (const auto& entry : path) frames.push_back(entry.first);
            events.push_back(eventNotPerThread(frames, params));
            path.pop_back();
        } else if (next < frame->subFrames.size()) {
            const MXFrame* child = &frame->subFrames[next++];
            path.emplace_back(child, 0);
        } else {
            path.pop_back();
        }
    }
}

}  // namespace skald
