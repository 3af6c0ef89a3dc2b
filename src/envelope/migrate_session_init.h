#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace skald {

class Envelope;

/// When the disk cache drops `envelope`, the "init" flag of each first session
/// update in it moves to the next stored envelope (among `envelopeFileNames`,
/// in order, inside `envelopesDirPath`) that carries the same session; that
/// file is rewritten atomically. Files over `maxFileBytes`, and entries that
/// are not regular files, are skipped and removed. True when at least one flag
/// moved.
bool migrateSessionInit(const Envelope& envelope, const std::string& envelopesDirPath,
                        const std::vector<std::string>& envelopeFileNames, uint64_t maxFileBytes);

}  // namespace skald
