#include "profiling/profile_payload.h"

#include <sys/utsname.h>

#include "core/client.h"
#include "core/debug_image_provider.h"
#include "core/dependency_container.h"
#include "core/tracing/tracer.h"
#include "core/tracing/transaction.h"
#include "crash/recording/system_info.h"
#include "model/data_category.h"
#include "platform/base/text_lines.h"
#include "platform/system/locale.h"
#include "profiling/profiler.h"
#include "skald/envelope.h"
#include "skald/hub.h"
#include "skald/options.h"
#include "skald/scope.h"
#include "util/file_io.h"
#include "util/iso8601.h"
#include "util/log.h"
#include "util/meta.h"

namespace skald::profiling {

namespace {

/// A one-line system file without its line end; empty when unreadable.
std::string firstLineOf(const char* path) {
    const auto text = readFileContents(path, nullptr, 4096);
    return text ? std::string(platform::trimWhitespace(*text)) : std::string();
}

Json debugMetaJson(const std::vector<std::shared_ptr<DebugMeta>>& images) {
    Json list = Json::array();
    for (const auto& image : images) {
        if (image) list.push_back(image->serialize());
    }
    return Json{{"images", std::move(list)}};
}

Json threadMetadataJson(const ProfilingData& data) {
    Json threads = Json::object();
    for (const auto& [id, metadata] : data.threadMetadata) {
        Json entry = Json::object();
        if (metadata.name) entry["name"] = *metadata.name;
        if (metadata.priority) entry["priority"] = *metadata.priority;
        threads[std::to_string(id)] = std::move(entry);
    }
    return threads;
}

Json sampleJson(const ProfileSample& sample) {
    Json json{{"thread_id", std::to_string(sample.threadID)}, {"stack_id", sample.stackIndex}};
    if (sample.queueAddress) json["queue_address"] = *sample.queueAddress;
    return json;
}

std::optional<std::string> environmentOf(const std::shared_ptr<Hub>& hub,
                                         const std::shared_ptr<Options>& options) {
    if (hub) {
        if (auto environment = hub->scope()->environment()) return environment;
    }
    if (options) return options->environment;
    return std::nullopt;
}

std::shared_ptr<Options> optionsOf(const std::shared_ptr<Hub>& hub) {
    if (!hub) return nullptr;
    auto client = hub->getClient();
    return client ? client->options() : nullptr;
}

void recordLostProfile(const std::shared_ptr<Hub>& hub) {
    if (!hub) return;
    if (auto client = hub->getClient()) {
        client->recordLostEvent(DataCategory::Profile, DiscardReason::EventProcessor);
    }
}

void putReleaseAndEnvironment(Json& payload, const std::shared_ptr<Hub>& hub) {
    const auto options = optionsOf(hub);
    if (auto environment = environmentOf(hub, options)) payload["environment"] = *environment;
    if (options && options->releaseName) payload["release"] = *options->releaseName;
}

}  // namespace

std::optional<Json> sliceSamples(const std::vector<ProfileSample>& samples, uint64_t start,
                                 uint64_t end) {
    if (samples.empty()) {
        SKALD_LOG_WARNING("Should not have attempted to slice an empty array.");
        return std::nullopt;
    }
    SKALD_LOG_DEBUG("Finding relevant samples from %lu total.",
                    static_cast<unsigned long>(samples.size()));
    std::optional<size_t> first;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (samples[i].absoluteTimestamp >= start) {
            first = i;
            break;
        }
    }
    std::optional<size_t> last;
    for (size_t i = samples.size(); i-- > 0;) {
        if (samples[i].absoluteTimestamp <= end) {
            last = i;
            break;
        }
    }
    if (!first || !last) {
        const auto firstTaken = samples.front().absoluteTimestamp;
        const auto lastTaken = samples.back().absoluteTimestamp;
        SKALD_LOG_DEBUG(
            "[slice %s] Could not find any%s sample taken during the transaction (first sample "
            "taken at: %llu; last: %llu; transaction start: %llu; end: %llu; first sample "
            "relative to transaction start: %lld; last: %lld).",
            first ? "end" : "start", first ? " other" : "",
            static_cast<unsigned long long>(firstTaken), static_cast<unsigned long long>(lastTaken),
            static_cast<unsigned long long>(start), static_cast<unsigned long long>(end),
            static_cast<long long>(firstTaken) - static_cast<long long>(start),
            static_cast<long long>(lastTaken) - static_cast<long long>(start));
        return std::nullopt;
    }
    SKALD_LOG_DEBUG("Found first slice sample at index %lu", static_cast<unsigned long>(*first));
    SKALD_LOG_DEBUG("Found last slice sample at index %lu", static_cast<unsigned long>(*last));
    Json sliced = Json::array();
    for (size_t i = *first; i <= *last && i < samples.size(); ++i) {
        const ProfileSample& sample = samples[i];
        // Samples of several threads arrive slightly out of order.
        if (sample.absoluteTimestamp < start) {
            SKALD_LOG_WARNING("Filtering sample as it came before start time to begin slicing.");
            continue;
        }
        Json json = sampleJson(sample);
        json["elapsed_since_start_ns"] = std::to_string(sample.absoluteTimestamp - start);
        sliced.push_back(std::move(json));
    }
    return sliced;
}

Json profileWithoutSamples(const ProfilingData& data) {
    Json frames = Json::array();
    for (const auto& address : data.frames) frames.push_back({{"instruction_addr", address}});
    return Json{{"stacks", data.stacks},
                {"frames", std::move(frames)},
                {"thread_metadata", threadMetadataJson(data)}};
}

Json profileOSInfo() {
    // Fixed for the life of the process.
    static const Json os = [] {
        const auto& info = crash::systeminfo::info();
        utsname names{};
        return Json{{"name", "Linux"},
                    {"version", info.systemVersion.value_or("")},
                    {"build_number", ::uname(&names) == 0 ? std::string(names.release) : ""}};
    }();
    return os;
}

Json profileDeviceInfo() {
    static const Json fixed = [] {
        const auto& info = crash::systeminfo::info();
        const std::string vendor = firstLineOf("/sys/devices/virtual/dmi/id/sys_vendor");
        return Json{{"architecture", info.cpuArchitecture.value_or("x86_64")},
                    {"is_emulator", false},
                    {"manufacturer", vendor.empty() ? std::string("unknown") : vendor},
                    {"model", info.model.value_or(info.machine.value_or(""))}};
    }();
    Json device = fixed;
    // The host may change its locale while it runs.
    device["locale"] = platform::Locale::current().identifier();
    return device;
}

std::optional<Json> traceProfilePayload(const TraceProfileInput& input,
                                        const std::shared_ptr<Hub>& hub) {
    if (input.data.samples.size() <= 1) {
        SKALD_LOG_DEBUG("Not enough samples in profile");
        recordLostProfile(hub);
        return std::nullopt;
    }
    auto samples = sliceSamples(input.data.samples, input.startSystemTime, input.endSystemTime);
    if (!samples || samples->size() <= 1) {
        SKALD_LOG_DEBUG("Not enough samples in profile during the transaction");
        recordLostProfile(hub);
        return std::nullopt;
    }
    Json profile = profileWithoutSamples(input.data);
    profile["samples"] = std::move(*samples);

    Json payload{{"version", "1"}, {"platform", "cocoa"}, {"profile_id", Id().skaldIdString()}};
    payload["profile"] = std::move(profile);
    if (!input.debugImages.empty()) payload["debug_meta"] = debugMetaJson(input.debugImages);
    payload["os"] = profileOSInfo();
    payload["device"] = profileDeviceInfo();
    payload["truncation_reason"] = input.truncationReason;
    putReleaseAndEnvironment(payload, hub);
    if (input.metrics.is_object() && !input.metrics.empty())
        payload["measurements"] = input.metrics;
    return payload;
}

TraceProfileInput traceProfileInput(Profiler& profiler, uint64_t startSystemTime,
                                    uint64_t endSystemTime) {
    TraceProfileInput input;
    input.data = profiler.state()->copyProfilingData();
    input.startSystemTime = startSystemTime;
    input.endSystemTime = endSystemTime;
    input.truncationReason = truncationReasonName(profiler.truncationReason());
    input.metrics = profiler.metricProfiler().serializeTraceProfileMetricsBetween(startSystemTime,
                                                                                  endSystemTime);
    input.debugImages =
        DependencyContainer::sharedInstance()->debugImageProvider()->getDebugImages(false);
    return input;
}

std::shared_ptr<EnvelopeItem> profileItemForTransaction(Profiler& profiler,
                                                        const Transaction& transaction,
                                                        Date startTimestamp,
                                                        const std::shared_ptr<Hub>& hub) {
    SKALD_LOG_DEBUG("Creating profiling envelope item");
    const TraceProfileInput input =
        traceProfileInput(profiler, transaction.startSystemTime, transaction.endSystemTime);
    auto payload = traceProfilePayload(input, hub);
    if (!payload) return nullptr;

    Json transactionJson{{"id", transaction.eventId.skaldIdString()},
                         {"name", transaction.transaction.value_or("")}};
    if (transaction.trace) {
        const auto& context = transaction.trace->transactionContext();
        transactionJson["trace_id"] = context.traceId().skaldIdString();
        transactionJson["active_thread_id"] = context.threadId();
    }
    (*payload)["transaction"] = std::move(transactionJson);
    (*payload)["timestamp"] = formatIso8601Timestamp(startTimestamp);

    std::string bytes;
    try {
        bytes = payload->dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const std::exception&) {
        SKALD_LOG_ERROR("Failed to encode profile to JSON.");
        return nullptr;
    }
    if (bytes.empty()) {
        SKALD_LOG_DEBUG("Payload was empty, will not create a profiling envelope item.");
        return nullptr;
    }
    auto header = std::make_shared<EnvelopeItemHeader>("profile", bytes.size());
    return std::make_shared<EnvelopeItem>(std::move(header), std::move(bytes));
}

std::shared_ptr<Envelope> profileChunkEnvelope(const Id& profilerId, const ProfilingData& data,
                                               const Json& metrics,
                                               const std::shared_ptr<Hub>& hub) {
    Json samples = Json::array();
    for (const ProfileSample& sample : data.samples) {
        Json json = sampleJson(sample);
        json["timestamp"] = sample.absoluteNSDateInterval;
        samples.push_back(std::move(json));
    }
    Json profile = profileWithoutSamples(data);
    profile["samples"] = std::move(samples);

    Json payload{{"version", "2"}, {"profile", std::move(profile)}};
    const auto images =
        DependencyContainer::sharedInstance()->debugImageProvider()->getDebugImages(false);
    if (!images.empty()) payload["debug_meta"] = debugMetaJson(images);
    payload["chunk_id"] = Id().skaldIdString();
    payload["profiler_id"] = profilerId.skaldIdString();
    putReleaseAndEnvironment(payload, hub);
    payload["platform"] = "cocoa";
    payload["client_sdk"] = {{"name", Meta::sdkName()}, {"version", Meta::versionString()}};
    if (metrics.is_object() && !metrics.empty()) payload["measurements"] = metrics;

    std::string bytes = payload.dump(-1, ' ', false, Json::error_handler_t::replace);
    auto header = std::make_shared<EnvelopeItemHeader>("profile_chunk", bytes.size());
    auto item = std::make_shared<EnvelopeItem>(std::move(header), std::move(bytes));
    return std::make_shared<Envelope>(std::nullopt, std::move(item));
}

}  // namespace skald::profiling
