#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace skald::store {

/// The value of an attribute; `std::monostate` is "no value" (NULL).
using Value = std::variant<std::monostate, std::string, int64_t, double, bool>;

enum class AttributeType { String, Integer, Double, Boolean };

struct Attribute {
    std::string name;
    AttributeType type = AttributeType::String;
};

/// A named kind of object with typed attributes. Names become SQL
/// identifiers, so a coordinator accepts only names of ASCII letters, digits
/// and '_' that start with a letter (see `StoreCoordinator`).
class Entity {
  public:
    Entity(std::string name, std::vector<Attribute> attributes);

    const std::string& name() const { return name_; }
    const std::vector<Attribute>& attributes() const { return attributes_; }
    /// The attribute's position, or nothing when the entity has none of that name.
    std::optional<size_t> attributeIndex(std::string_view name) const;
    const Attribute* attribute(std::string_view name) const;

  private:
    std::string name_;
    std::vector<Attribute> attributes_;
};

/// The entities a coordinator's stores hold.
class Model {
  public:
    Model() = default;
    explicit Model(std::vector<Entity> entities) : entities_(std::move(entities)) {}

    void addEntity(Entity entity) { entities_.push_back(std::move(entity)); }
    const std::vector<Entity>& entities() const { return entities_; }
    const Entity* entity(std::string_view name) const;

  private:
    std::vector<Entity> entities_;
};

/// Whether `value` may be stored in an attribute of `type` (no value always may).
bool valueFitsType(const Value& value, AttributeType type);

}  // namespace skald::store
