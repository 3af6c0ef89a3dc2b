#include "support/symbol_name.h"

#include "crash/async_safe/symbol_lookup.h"
#include "crash/recording/binary_image_list.h"
#include "crash/recording/symbol_indexes.h"

namespace skald::test {

std::string symbolNameAt(uintptr_t address) {
    crash::BinaryImageList::refresh();
    crash::updateSymbolIndexes();
    crash::BinaryImage image{};
    if (!crash::findBinaryImage(address, &image)) return {};
    const char* name = nullptr;
    uintptr_t start = 0;
    if (!crash::lookupSymbol(image, address, &name, &start) || name == nullptr) return {};
    return name;
}

}  // namespace skald::test
