#pragma once

#include <cstdint>
#include <functional>

#include "crash/async_safe/binary_images.h"

namespace skald::crash {

/// Keeps the crash-time image table (binary_images.h) in step with the dynamic
/// loader. Linux has no image-added or image-removed callbacks: the table is
/// rebuilt from `dl_iterate_phdr` whenever the loader's add or remove counter
/// has moved, checked by `refresh` off the crash path. Crash-time code only
/// reads the published table.
///
/// Observers hear of every image that appears or disappears while the list is
/// started. They are called under the list's lock, so they must not call back
/// into the list.
class BinaryImageList {
  public:
    using Callback = std::function<void(const BinaryImage* image)>;

    /// Fills the table and reports every image to the observers as added. A
    /// second start does nothing.
    static void start();
    /// Reports every image to the observers as removed and stops reporting.
    /// The table keeps its contents: crash-time readers may still hold it.
    static void stop();
    static bool isStarted();

    /// Rebuilds the table when the loader's counters moved since the last
    /// fill, or when it was never filled; true when it was rebuilt. When
    /// started, the observers then hear of the removed images, then of the
    /// added ones. Cheap when nothing changed.
    static bool refresh();

    /// Calls `visit` for each image of the published table, taking no lock.
    static void iterate(const std::function<void(const BinaryImage& image)>& visit);

    /// Registers an observer and, when started, replays every image to `added`.
    /// Returns the token for `removeObserver`.
    static uint64_t addObserver(Callback added, Callback removed);
    /// Once this returns, the observer is not running and will not be called.
    static void removeObserver(uint64_t token);
};

}  // namespace skald::crash
