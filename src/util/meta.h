#pragma once

#include <string>

namespace skald {

/// The SDK's name and version as written into envelope headers and events.
/// Wrapping SDKs may replace both; reads and writes are safe from any thread.
class Meta {
  public:
    static std::string sdkName();
    static void setSdkName(std::string name);
    static std::string versionString();
    static void setVersionString(std::string version);
};

}  // namespace skald
