#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "skald/json.h"
#include "skald/mechanism.h"
#include "skald/stacktrace.h"

namespace skald {

class Exception {
  public:
    Exception(std::string value, std::string type)
        : value(std::move(value)), type(std::move(type)) {}

    std::string value;
    std::string type;
    std::shared_ptr<Mechanism> mechanism;
    std::optional<std::string> module;
    std::optional<uint64_t> threadId;
    std::shared_ptr<Stacktrace> stacktrace;

    Json serialize() const;
};

}  // namespace skald
