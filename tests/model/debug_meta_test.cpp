#include "skald/debug_meta.h"

#include <gtest/gtest.h>

namespace skald {
namespace {

TEST(DebugMeta, WritesEveryKeyWithTheImageNameShortened) {
    DebugMeta image;
    image.uuid = "84a04d24-0e60-3810-a8c0-90a65e2df61a";
    image.debugID = "84a04d24-0e60-3810-a8c0-90a65e2df61a";
    image.type = "elf";
    image.imageAddress = "0x7f0000000000";
    image.imageSize = 4096;
    image.name = "/usr/lib/libskald.so";
    image.codeFile = "/usr/lib/libskald.so";
    image.imageVmAddress = "0x0";
    EXPECT_EQ(image.serialize().dump(),
              R"({"uuid":"84a04d24-0e60-3810-a8c0-90a65e2df61a",)"
              R"("debug_id":"84a04d24-0e60-3810-a8c0-90a65e2df61a","type":"elf",)"
              R"("image_addr":"0x7f0000000000","image_size":4096,"name":"libskald.so",)"
              R"("code_file":"/usr/lib/libskald.so","image_vmaddr":"0x0"})");
    EXPECT_EQ(DebugMeta().serialize(), Json::object());
}

TEST(DebugMeta, NameIsTheLastPathComponent) {
    const auto nameOf = [](std::string path) {
        DebugMeta image;
        image.name = std::move(path);
        return image.serialize()["name"].get<std::string>();
    };
    EXPECT_EQ(nameOf("libc.so.6"), "libc.so.6");
    EXPECT_EQ(nameOf("/opt/app/bin/"), "bin");
    EXPECT_EQ(nameOf("/"), "/");
    EXPECT_EQ(nameOf(""), "");
}

}  // namespace
}  // namespace skald
