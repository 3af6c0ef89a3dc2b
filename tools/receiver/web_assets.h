#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace skald::tools {

/// A file of the web view, compiled into the program.
struct WebAsset {
    std::string_view path;  ///< "/web/app.js"
    std::string_view contentType;
    std::string_view data;
};

/// Every file under tools/receiver/web/, made into a source file at build time.
std::span<const WebAsset> webAssets();

}  // namespace skald::tools
