#include "skald/geo.h"

#include "util/dictionary.h"

namespace skald {

Json Geo::serialize() const {
    Json result = objectWithCapacity(3);
    appendIfSet(result, "city", city);
    appendIfSet(result, "country_code", countryCode);
    appendIfSet(result, "region", region);
    return result;
}

}  // namespace skald
