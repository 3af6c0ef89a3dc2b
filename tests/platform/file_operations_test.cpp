#include "skald/platform/file_operations.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "support/temp_directory.h"

namespace skald::platform {
namespace {

using test::TempDirectory;

/// The Cocoa code callers compare against, with the system's own error under it.
void expectFileError(const std::optional<Error>& error, int64_t code, int systemError,
                     const std::string& path) {
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, kCocoaErrorDomain);
    EXPECT_EQ(error->code, code);
    EXPECT_EQ(error->filePath, path);
    EXPECT_EQ(error->localizedFailureReason, std::strerror(systemError));
    ASSERT_TRUE(error->underlyingError) << error->description();
    EXPECT_EQ(error->underlyingError->domain, kPosixErrorDomain);
    EXPECT_EQ(error->underlyingError->code, systemError);
    EXPECT_EQ(error->underlyingError->localizedDescription, std::strerror(systemError));
    EXPECT_FALSE(error->userInfo.contains("NSUnderlyingError"))
        << "the cause is an error object, not a user-info entry";
}

TEST(FileOperationsTest, FailuresKeepTheSystemErrorAsTheirUnderlyingError) {
    TempDirectory dir;
    const auto bundle = dir.write("Vantorel.app/Contents/Info.plist", "<plist/>");
    const auto file = dir.write("plain-file", "x");
    const std::string app = dir.file("Vantorel.app");

    expectFileError(FileOperations::copyItem(dir.file("missing.app"), dir.file("copy.app")),
                    kFileNoSuchFileError, ENOENT, dir.file("missing.app"));
    expectFileError(FileOperations::copyItem(app, file), kFileWriteFileExistsError, EEXIST, file);
    // A destination below a plain file: the Cocoa code is "no such file",
    // only the underlying error tells what really went wrong.
    expectFileError(FileOperations::copyItem(app, file + "/Vantorel.app"), kFileNoSuchFileError,
                    ENOTDIR, file + "/Vantorel.app");
    EXPECT_FALSE(std::filesystem::exists(file + "/Vantorel.app"));

    expectFileError(FileOperations::removeItem(dir.file("missing.app")), kFileNoSuchFileError,
                    ENOENT, dir.file("missing.app"));
    expectFileError(FileOperations::removeItem(file + "/child"), kFileNoSuchFileError, ENOTDIR,
                    file + "/child");
    expectFileError(FileOperations::moveItem(dir.file("missing.app"), dir.file("moved.app")),
                    kFileNoSuchFileError, ENOENT, dir.file("missing.app"));
    Error listing;
    EXPECT_FALSE(FileOperations::contentsOfDirectory(file, &listing));
    expectFileError(listing, kFileNoSuchFileError, ENOTDIR, file);

    // Successes stay successes.
    EXPECT_FALSE(FileOperations::copyItem(app, dir.file("copy.app")));
    EXPECT_EQ(TempDirectory::read(dir.file("copy.app/Contents/Info.plist")),
              TempDirectory::read(bundle));
    EXPECT_FALSE(FileOperations::removeItem(dir.file("copy.app")));
    EXPECT_FALSE(FileOperations::fileExists(dir.file("copy.app")));
}

}  // namespace
}  // namespace skald::platform
