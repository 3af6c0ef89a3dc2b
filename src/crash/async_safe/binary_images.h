// Async-signal-safe: fixed storage of the loaded images, read without locks or allocation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace skald::crash {

/// Images beyond this many are left out of the table; the refresh that meets
/// them logs how many were dropped.
inline constexpr size_t kMaxBinaryImages = 2048;
/// Longer build-ids are cut to this many bytes (common ones have 16 or 20).
inline constexpr size_t kMaxBuildIdSize = 32;

/// One loaded ELF image.
///
/// `address`, `vmaddr` and `size` describe the whole mapped image, from its
/// first to the end of its last loadable segment: unlike the executable
/// segment, that range starts where the ELF header is mapped, which is what
/// symbolication of ELF images computes offsets from.
struct BinaryImage {
    /// Runtime address of the first loadable segment.
    uintptr_t address;
    /// Link-time address of `address`; 0 for position-independent images.
    uintptr_t vmaddr;
    uintptr_t size;
    /// The executable segment (PT_LOAD with PF_X) at runtime.
    uintptr_t textAddress;
    uintptr_t textSize;
    /// The dynamic section at runtime (0 without one). The loader's own list
    /// of loaded objects names each by it too, so it tells whether an image
    /// of the table is still loaded.
    uintptr_t dynamicAddress;
    /// Full path, kept for the life of the process.
    const char* name;
    /// The GNU build-id note; length 0 when the image has none.
    uint8_t buildId[kMaxBuildIdSize];
    uint8_t buildIdLength;
    /// ELF machine (e_machine); there is no subtype on ELF, always 0.
    int32_t cpuType;
    int32_t cpuSubtype;
    /// The dynamic symbol table in memory (ElfW(Sym) entries) and its string
    /// table, checked to lie inside the image; 0 when the image has none.
    uintptr_t symbolTable;
    uint32_t symbolCount;
    uintptr_t stringTable;
    uintptr_t stringTableSize;
};

/// One snapshot of the loaded images, in the loader's order.
struct BinaryImageGeneration {
    BinaryImage images[kMaxBinaryImages];
    size_t count;
    /// The loader's add and remove counters when the snapshot was taken.
    uint64_t adds;
    uint64_t subs;
};

/// Holds the published snapshot for its lifetime, so that a refresh never
/// rewrites it while it is read. Cheap: two atomic operations. A thread that
/// holds one must not refresh the list: the second rebuild would wait for it.
/// While a crash is handled it gives the crash-time snapshot instead
/// (loaded_images.h).
class BinaryImageReader {
  public:
    BinaryImageReader();
    ~BinaryImageReader();
    BinaryImageReader(const BinaryImageReader&) = delete;
    BinaryImageReader& operator=(const BinaryImageReader&) = delete;

    size_t count() const { return generation_->count; }
    const BinaryImage& operator[](size_t index) const { return generation_->images[index]; }
    const BinaryImage* begin() const { return generation_->images; }
    const BinaryImage* end() const { return generation_->images + generation_->count; }
    const BinaryImageGeneration& generation() const { return *generation_; }

  private:
    int slot_;
    const BinaryImageGeneration* generation_;
};

/// Calls `visit` for each image of the published snapshot.
void iterateBinaryImages(void (*visit)(const BinaryImage& image, void* context), void* context);

/// Copies the image whose [address, address + size) holds `address`.
bool findBinaryImage(uintptr_t address, BinaryImage* out);

// --- Writing: for the binary-image list only, under its lock --------------------

/// The snapshot that is not published, once no reader holds it any longer
/// (waits for them). Not async-signal-safe.
BinaryImageGeneration& beginBinaryImageWrite();
/// Publishes the snapshot returned by the last `beginBinaryImageWrite`.
void publishBinaryImageWrite();

// --- Crash time: for loaded_images.h only ---------------------------------------

/// The snapshot that a crash handler fills with what is loaded at that moment.
BinaryImageGeneration& crashTimeBinaryImages();
/// While on, every reader gets the crash-time snapshot.
void useCrashTimeBinaryImages(bool use);

}  // namespace skald::crash
