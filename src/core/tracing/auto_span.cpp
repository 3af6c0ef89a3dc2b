#include "core/tracing/auto_span.h"

#include <unistd.h>

#include <filesystem>

#include "core/client.h"
#include "core/dependency_container.h"
#include "core/thread_inspector.h"
#include "core/tracing/span_impl.h"
#include "core/tracing/tracer.h"
#include "skald/hub.h"
#include "skald/platform/main_queue.h"
#include "skald/scope.h"
#include "skald/sdk.h"
#include "skald/stacktrace.h"

namespace skald {

namespace {

/// The folder of the running program, with a trailing slash.
const std::string& programDirectory() {
    static const std::string directory = [] {
        std::error_code error;
        const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
        return error ? std::string() : program.parent_path().string() + "/";
    }();
    return directory;
}

}  // namespace

std::shared_ptr<SpanImpl> startAutoChild(const std::string& operation,
                                         const std::optional<std::string>& description,
                                         const std::string& origin) {
    std::shared_ptr<Span> bound;
    SDK::currentHub()->scope()->useSpan(
        [&](std::shared_ptr<Span> span) { bound = std::move(span); });
    auto tracer = Tracer::getTracer(bound);
    if (!tracer) return nullptr;
    return std::dynamic_pointer_cast<SpanImpl>(
        tracer->startChildWithParentId(bound->spanId(), operation, description, origin));
}

void addMainThreadInfo(SpanImpl& span, bool onlyAppFrames) {
    const bool onMain = platform::MainQueue::isMainThread();
    span.setData("blocked_main_thread", onMain);
    if (!onMain) return;
    auto client = SDK::currentHub()->getClient();
    auto inspector = client ? client->threadInspector()
                            : DependencyContainer::sharedInstance()->threadInspector();
    const auto stack = inspector->stacktraceForCurrentThreadAsyncUnsafe();
    if (!stack) return;
    std::vector<std::shared_ptr<Frame>> frames;
    for (const auto& frame : stack->frames) {
        if (!onlyAppFrames || (frame->package && !programDirectory().empty() &&
                               frame->package->rfind(programDirectory(), 0) == 0)) {
            frames.push_back(frame);
        }
    }
    if (onlyAppFrames && frames.size() <= 1) {
        span.setData("blocked_main_thread", false);
        return;
    }
    span.setFrames(std::move(frames));
}

}  // namespace skald
