#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "skald/object_store/predicate.h"

namespace skald::store {

struct SortDescriptor {
    std::string key;
    bool ascending = true;
};

/// Which objects of one entity to fetch, in which order, and how many.
struct FetchRequest {
    std::string entityName;
    std::optional<Predicate> predicate;
    std::vector<SortDescriptor> sortDescriptors;
    std::optional<size_t> fetchLimit;
};

}  // namespace skald::store
