#include "skald/object_store/store_coordinator.h"

#include <set>

#include "integrations/object_store/sqlite_store.h"
#include "integrations/object_store/store_error.h"
#include "skald/url.h"

namespace skald::store {

namespace {

std::string lowercased(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

/// Names become identifiers, which SQLite compares without case.
std::optional<Error> checkModel(const Model& model) {
    std::set<std::string> entities;
    for (const auto& entity : model.entities()) {
        if (!detail::isValidIdentifier(entity.name())) {
            return detail::storeError(StoreErrorCode::InvalidModel,
                                      "The entity name \"" + entity.name() + "\" is not usable.");
        }
        if (!entities.insert(lowercased(entity.name())).second) {
            return detail::storeError(StoreErrorCode::InvalidModel,
                                      "The model has the entity " + entity.name() + " twice.");
        }
        std::set<std::string> attributes;
        for (const auto& attribute : entity.attributes()) {
            if (!detail::isValidIdentifier(attribute.name)) {
                return detail::storeError(StoreErrorCode::InvalidModel,
                                          "The attribute name \"" + attribute.name + "\" of " +
                                              entity.name() + " is not usable.");
            }
            if (!attributes.insert(lowercased(attribute.name)).second) {
                return detail::storeError(
                    StoreErrorCode::InvalidModel,
                    entity.name() + " has the attribute " + attribute.name + " twice.");
            }
        }
    }
    return std::nullopt;
}

/// The path of an absolute file URL on this machine.
std::optional<std::string> filePath(const std::string& text) {
    const auto url = Url::parse(text);
    if (!url || !url->scheme() || lowercased(*url->scheme()) != "file") return std::nullopt;
    if (url->host() && !url->host()->empty() && lowercased(*url->host()) != "localhost") {
        return std::nullopt;
    }
    if (url->query() || url->fragment()) return std::nullopt;
    const std::string path = url->path();
    if (path.size() < 2 || path[0] != '/' || path.back() == '/' ||
        path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return path;
}

}  // namespace

StoreCoordinator::StoreCoordinator(Model model) : model_(std::move(model)) {
    for (const auto& entity : model_.entities()) {
        entities_.push_back(std::make_shared<const Entity>(entity));
    }
}

StoreCoordinator::~StoreCoordinator() = default;

std::shared_ptr<const PersistentStore> StoreCoordinator::addPersistentStore(
    const std::string& type, const std::optional<std::string>& url, Error* error) {
    if (auto problem = checkModel(model_)) {
        detail::report(error, std::move(*problem));
        return nullptr;
    }
    std::optional<std::string> path;
    if (type == kSQLiteStoreType) {
        path = url ? filePath(*url) : std::nullopt;
        if (!path) {
            detail::report(error, detail::storeError(StoreErrorCode::InvalidStore,
                                                     "A SQLite store needs an absolute file URL, "
                                                     "not " +
                                                         url.value_or("none") + "."));
            return nullptr;
        }
    } else if (type != kInMemoryStoreType) {
        detail::report(error, detail::storeError(StoreErrorCode::InvalidStore,
                                                 "Unknown store type \"" + type + "\"."));
        return nullptr;
    }
    auto backend = detail::SqliteStore::open(path, entities_, error);
    if (!backend) return nullptr;
    auto store = std::make_shared<const PersistentStore>(PersistentStore{type, url});
    std::lock_guard guard(mutex_);
    stores_.push_back(store);
    backends_.push_back(std::move(backend));
    return store;
}

std::vector<std::shared_ptr<const PersistentStore>> StoreCoordinator::persistentStores() const {
    std::lock_guard guard(mutex_);
    return stores_;
}

std::shared_ptr<detail::SqliteStore> StoreCoordinator::backend(size_t index) const {
    std::lock_guard guard(mutex_);
    return index < backends_.size() ? backends_[index] : nullptr;
}

std::optional<size_t> StoreCoordinator::indexOf(
    const std::shared_ptr<const PersistentStore>& store) const {
    std::lock_guard guard(mutex_);
    for (size_t i = 0; i < stores_.size(); ++i) {
        if (stores_[i] == store) return i;
    }
    return std::nullopt;
}

size_t StoreCoordinator::storeCount() const {
    std::lock_guard guard(mutex_);
    return stores_.size();
}

std::shared_ptr<const Entity> StoreCoordinator::sharedEntity(const std::string& name) const {
    for (const auto& entity : entities_) {
        if (entity->name() == name) return entity;
    }
    return nullptr;
}

}  // namespace skald::store
