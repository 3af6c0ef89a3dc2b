#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "skald/json.h"
#include "skald/ns_error.h"

namespace skald {

class MechanismMeta {
  public:
    std::optional<Json> signal;
    std::optional<Json> machException;
    std::shared_ptr<NSError> error;

    Json serialize() const;
};

/// How an exception was caught.
class Mechanism {
  public:
    explicit Mechanism(std::string type) : type(std::move(type)) {}

    std::string type;
    std::optional<bool> handled;
    std::optional<bool> synthetic;
    std::optional<std::string> desc;
    std::optional<Json> data;
    std::optional<std::string> helpLink;
    std::shared_ptr<MechanismMeta> meta;

    Json serialize() const;
};

}  // namespace skald
