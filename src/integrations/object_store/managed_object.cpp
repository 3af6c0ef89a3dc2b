#include "skald/object_store/managed_object.h"

#include <algorithm>

#include "integrations/object_store/context_state.h"
#include "util/log.h"

namespace skald::store {

ManagedObject::ManagedObject(const Key&, std::shared_ptr<const Entity> entity,
                             std::weak_ptr<detail::ContextState> context)
    : entity_(std::move(entity)),
      context_(std::move(context)),
      values_(entity_->attributes().size()) {}

bool ManagedObject::set(const std::string& key, Value value) {
    const auto index = entity_->attributeIndex(key);
    if (!index) {
        SKALD_LOG_DEBUG("Object store: %s has no attribute %s.", entityName().c_str(), key.c_str());
        return false;
    }
    if (!valueFitsType(value, entity_->attributes()[*index].type)) {
        SKALD_LOG_DEBUG("Object store: a value of another type for %s.%s.", entityName().c_str(),
                        key.c_str());
        return false;
    }
    if (deleted_) {
        SKALD_LOG_DEBUG("Object store: a deleted %s is not changed.", entityName().c_str());
        return false;
    }
    values_[*index] = std::move(value);
    if (!inserted_ && !updated_ && objectId_) {
        if (auto context = context_.lock()) {
            updated_ = true;
            if (auto self = weak_from_this().lock()) context->updated.push_back(std::move(self));
        }
    }
    return true;
}

Value ManagedObject::get(const std::string& key) const {
    const auto index = entity_->attributeIndex(key);
    return index ? values_[*index] : Value();
}

}  // namespace skald::store
