// Async-signal-safe: the images loaded at the moment of a crash.
#pragma once

namespace skald::crash::images {

/// Fills the crash-time table of binary_images.h with the objects that the
/// loader lists as loaded right now, and makes every reader use it until
/// `releaseLoadedImages`. The prepared table (kept by the binary-image list
/// off the crash path) gives each object's description when it has one; an
/// object loaded since its last refresh is described on the spot, and one
/// unloaded since is left out, so crash-time code never reads the memory of
/// an object that is gone. Everything is read with fault-free copies and
/// without the loader's lock. False, leaving the prepared table in use, when
/// the loader's list cannot be read.
bool captureLoadedImages();

/// Readers use the prepared table again.
void releaseLoadedImages();

/// Off the crash path, before any crash: the main program's path, which the
/// loader's list leaves empty. A crash that comes before the prepared table's
/// first fill names the program with it.
void setExecutablePath(const char* path);

}  // namespace skald::crash::images
