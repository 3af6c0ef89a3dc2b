#pragma once

#include <cstdint>
#include <string>

namespace skald::test {

/// The name of the function of this process that holds `address`, from the
/// images' full symbol tables; empty when none does.
std::string symbolNameAt(uintptr_t address);

}  // namespace skald::test
