#include "util/random.h"

#include <stdlib.h>
#include <time.h>

#include <mutex>

namespace skald {

double Random::nextNumber() {
    static std::once_flag seeded;
    std::call_once(seeded, [] { ::srand48(::time(nullptr)); });
    return ::drand48();
}

}  // namespace skald
