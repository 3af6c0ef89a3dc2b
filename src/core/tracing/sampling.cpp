#include "core/tracing/sampling.h"

#include "skald/options.h"
#include "util/random.h"

namespace skald {

namespace {

SamplerDecision decideByRate(std::optional<double> rate, Random& random) {
    if (!rate) return {SampleDecision::No, std::nullopt};
    // A rate outside [0, 1] samples nothing.
    const double effective = (*rate >= 0 && *rate <= 1) ? *rate : 0;
    const bool sampled = random.nextNumber() <= effective && effective > 0;
    return {sampled ? SampleDecision::Yes : SampleDecision::No, effective};
}

std::optional<double> askSampler(const SamplerCallback& sampler, const SamplingContext& context) {
    if (!sampler) return std::nullopt;
    try {
        return sampler(context);
    } catch (...) {
        // The host's callback must not take the SDK down with it.
        return std::nullopt;
    }
}

}  // namespace

SamplerDecision sampleTrace(const SamplingContext& context, const Options& options,
                            Random& random) {
    const TransactionContext& transaction = context.transactionContext();
    if (transaction.sampled() != SampleDecision::Undecided)
        return {transaction.sampled(), transaction.sampleRate()};
    if (auto rate = askSampler(options.tracesSampler(), context)) return decideByRate(rate, random);
    if (transaction.parentSampled() != SampleDecision::Undecided)
        return {transaction.parentSampled(), transaction.sampleRate()};
    return decideByRate(options.tracesSampleRate(), random);
}

SamplerDecision sampleTraceProfile(const SamplingContext& context,
                                   const SamplerDecision& traceDecision, const Options& options,
                                   Random& random) {
    if (traceDecision.decision != SampleDecision::Yes) return {SampleDecision::No, std::nullopt};
    if (options.enableProfiling) return {SampleDecision::Yes, 1.0};
    if (auto rate = askSampler(options.profilesSampler, context)) return decideByRate(rate, random);
    return decideByRate(options.profilesSampleRate(), random);
}

}  // namespace skald
