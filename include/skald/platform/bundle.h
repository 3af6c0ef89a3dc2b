#pragma once

#include <memory>
#include <optional>
#include <string>

#include "skald/json.h"

namespace skald::platform {

/// An application bundle laid out as "Name.app/Contents/Info.plist" with the
/// executable in "Name.app/Contents/MacOS/". A plain executable outside such a
/// layout is a bundle of its directory without an information dictionary.
class Bundle {
  public:
    /// The bundle that contains the running executable, or the identity a
    /// host handed over with setMainInfoDictionary.
    static std::shared_ptr<const Bundle> main();

    /// The bundle at `path` (a "Name.app" directory); null when there is no
    /// directory there.
    static std::shared_ptr<const Bundle> atPath(const std::string& path);

    /// The bundle that contains the executable at `executablePath`.
    static std::shared_ptr<const Bundle> forExecutable(const std::string& executablePath);

    /// Gives the main bundle this information dictionary (a JSON object, with
    /// keys such as "CFBundleIdentifier", "CFBundleShortVersionString",
    /// "CFBundleVersion", "CFBundleExecutable", "CFBundleName"), for hosts that
    /// do not run from a bundle. Nothing restores the one read from disk.
    static void setMainInfoDictionary(std::optional<Json> info);

    const std::string& bundlePath() const { return bundlePath_; }
    const std::optional<std::string>& executablePath() const { return executablePath_; }
    /// The parsed "Contents/Info.plist"; nothing for a plain executable or
    /// when the file is missing or not a dictionary.
    const std::optional<Json>& infoDictionary() const { return info_; }
    /// The text stored under `key` in the information dictionary.
    std::optional<std::string> infoText(const std::string& key) const;
    std::optional<std::string> bundleIdentifier() const { return infoText("CFBundleIdentifier"); }

  private:
    Bundle(std::string bundlePath, std::optional<std::string> executablePath,
           std::optional<Json> info)
        : bundlePath_(std::move(bundlePath)),
          executablePath_(std::move(executablePath)),
          info_(std::move(info)) {}

    std::string bundlePath_;
    std::optional<std::string> executablePath_;
    std::optional<Json> info_;
};

}  // namespace skald::platform
