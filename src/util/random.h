#pragma once

namespace skald {

/// Uniform random numbers for sampling decisions. Replaceable in tests.
class Random {
  public:
    virtual ~Random() = default;
    /// A uniformly distributed number in [0, 1).
    virtual double nextNumber();
};

}  // namespace skald
