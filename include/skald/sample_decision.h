#pragma once

namespace skald {

/// Whether a trace is sampled. Undecided leaves the choice to whoever
/// receives the trace next, so headers carry no decision for it.
enum class SampleDecision : unsigned { Undecided = 0, Yes = 1, No = 2 };

}  // namespace skald
