#pragma once

#include "skald/span_context.h"

namespace skald {

class Options;
class Random;

/// Whether a transaction is sampled: its own decision, else the traces
/// sampler's rate, else the upstream decision, else `tracesSampleRate`.
SamplerDecision sampleTrace(const SamplingContext& context, const Options& options, Random& random);

/// Whether a sampled transaction is profiled.
SamplerDecision sampleTraceProfile(const SamplingContext& context,
                                   const SamplerDecision& traceDecision, const Options& options,
                                   Random& random);

}  // namespace skald
