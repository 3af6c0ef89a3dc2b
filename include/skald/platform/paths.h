#pragma once

#include <string>

namespace skald::platform {

/// The user's standard directories, XDG style. None of them is created here.
struct Paths {
    /// $HOME, else the password database's home directory, else "/".
    static std::string homeDirectory();
    /// $XDG_CACHE_HOME, else ~/.cache.
    static std::string cachesDirectory();
    /// $XDG_DATA_HOME, else ~/.local/share.
    static std::string applicationSupportDirectory();
    /// $TMPDIR, else /tmp.
    static std::string temporaryDirectory();
};

}  // namespace skald::platform
