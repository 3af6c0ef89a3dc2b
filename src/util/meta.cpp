#include "util/meta.h"

#include <mutex>

#include "platform/process/no_destructor.h"

namespace skald {

namespace {

struct MetaValues {
    std::mutex mutex;
    std::string name = "skald.cocoa";
    std::string version = "1.0.0";
};

MetaValues& values() {
    static platform::NoDestructor<MetaValues> instance;
    return *instance;
}

}  // namespace

std::string Meta::sdkName() {
    std::lock_guard guard(values().mutex);
    return values().name;
}

void Meta::setSdkName(std::string name) {
    std::lock_guard guard(values().mutex);
    values().name = std::move(name);
}

std::string Meta::versionString() {
    std::lock_guard guard(values().mutex);
    return values().version;
}

void Meta::setVersionString(std::string version) {
    std::lock_guard guard(values().mutex);
    values().version = std::move(version);
}

}  // namespace skald
