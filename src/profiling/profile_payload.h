#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "profiling/profiler_state.h"
#include "skald/date.h"
#include "skald/debug_meta.h"
#include "skald/id.h"
#include "skald/json.h"

namespace skald {
class Envelope;
class EnvelopeItem;
class Hub;
class Transaction;
}  // namespace skald

namespace skald::profiling {

class Profiler;

/// The samples taken within [start, end] (monotonic ns), each with
/// "elapsed_since_start_ns"; nothing when none was.
std::optional<Json> sliceSamples(const std::vector<ProfileSample>& samples, uint64_t start,
                                 uint64_t end);

/// The "profile" object without samples: "stacks", "frames", "thread_metadata".
Json profileWithoutSamples(const ProfilingData& data);

/// The "os" and "device" objects of a profile.
Json profileOSInfo();
Json profileDeviceInfo();

/// What a trace profile is made of, for a window of a profiler's data.
struct TraceProfileInput {
    ProfilingData data;
    uint64_t startSystemTime = 0;
    uint64_t endSystemTime = 0;
    std::string truncationReason = "normal";
    Json metrics = Json::object();
    std::vector<std::shared_ptr<DebugMeta>> debugImages;
};

/// What `profiler` holds for the window [start, end] (monotonic ns), with
/// the debug images of every loaded image.
TraceProfileInput traceProfileInput(Profiler& profiler, uint64_t startSystemTime,
                                    uint64_t endSystemTime);

/// The trace profile's payload, or nothing (logged, and counted as a lost
/// profile with the hub's client) when it holds fewer than two samples.
/// "transaction" and "timestamp" are for the caller to add.
std::optional<Json> traceProfilePayload(const TraceProfileInput& input,
                                        const std::shared_ptr<Hub>& hub);

/// The "profile" item for a finished transaction profiled by `profiler`.
std::shared_ptr<EnvelopeItem> profileItemForTransaction(Profiler& profiler,
                                                        const Transaction& transaction,
                                                        Date startTimestamp,
                                                        const std::shared_ptr<Hub>& hub);

/// One "profile_chunk" envelope of the continuous profiler.
std::shared_ptr<Envelope> profileChunkEnvelope(const Id& profilerId, const ProfilingData& data,
                                               const Json& metrics,
                                               const std::shared_ptr<Hub>& hub);

}  // namespace skald::profiling
