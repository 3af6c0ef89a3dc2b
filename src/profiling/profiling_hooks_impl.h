#pragma once

namespace skald::profiling {

/// Connects the tracers and the SDK's entry to the profilers; idempotent.
void installProfilingHooks();

}  // namespace skald::profiling
