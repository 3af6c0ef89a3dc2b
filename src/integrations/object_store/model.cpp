#include "skald/object_store/model.h"

namespace skald::store {

Entity::Entity(std::string name, std::vector<Attribute> attributes)
    : name_(std::move(name)), attributes_(std::move(attributes)) {}

std::optional<size_t> Entity::attributeIndex(std::string_view name) const {
    for (size_t i = 0; i < attributes_.size(); ++i) {
        if (attributes_[i].name == name) return i;
    }
    return std::nullopt;
}

const Attribute* Entity::attribute(std::string_view name) const {
    const auto index = attributeIndex(name);
    return index ? &attributes_[*index] : nullptr;
}

const Entity* Model::entity(std::string_view name) const {
    for (const auto& entity : entities_) {
        if (entity.name() == name) return &entity;
    }
    return nullptr;
}

bool valueFitsType(const Value& value, AttributeType type) {
    switch (type) {
        case AttributeType::String:
            return std::holds_alternative<std::monostate>(value) ||
                   std::holds_alternative<std::string>(value);
        case AttributeType::Integer:
            return std::holds_alternative<std::monostate>(value) ||
                   std::holds_alternative<int64_t>(value);
        case AttributeType::Double:
            return std::holds_alternative<std::monostate>(value) ||
                   std::holds_alternative<double>(value);
        case AttributeType::Boolean:
            return std::holds_alternative<std::monostate>(value) ||
                   std::holds_alternative<bool>(value);
    }
    return false;
}

}  // namespace skald::store
