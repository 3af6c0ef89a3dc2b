#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skald {

/// Decides whether an image belongs to the application: its file name starts,
/// ignoring case, with one of the includes. The excludes are kept for callers
/// but decide nothing: an image that matches no include is not in app anyway.
class InAppLogic {
  public:
    InAppLogic(std::vector<std::string> inAppIncludes, std::vector<std::string> inAppExcludes);

    const std::vector<std::string>& inAppIncludes() const { return inAppIncludes_; }
    const std::vector<std::string>& inAppExcludes() const { return inAppExcludes_; }

    /// No path is not in app.
    bool isInApp(const std::optional<std::string>& imagePath) const;

    /// Whether the last path component of `imagePath` starts with
    /// `inAppInclude`, both lower-cased (ASCII letters only).
    static bool isImageNameInApp(std::string_view imagePath, std::string_view inAppInclude);

  private:
    std::vector<std::string> inAppIncludes_;
    std::vector<std::string> inAppExcludes_;
};

}  // namespace skald
