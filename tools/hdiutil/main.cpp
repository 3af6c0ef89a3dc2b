// skald-hdiutil: the disk-image tool's "attach" and "detach" on Linux.
//
// There is no disk-image driver to mount with, so "attach" unpacks the image
// with 7-Zip (which reads disk images with HFS+ or APFS volumes as well as
// its own and other archive formats) into a fresh directory that plays the
// mount point, and prints what the real tool prints: a table, or with
// "-plist" an XML property list {"system-entities": [...]} whose entry for
// the volume carries "mount-point". "detach" removes that directory again.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "skald/platform/task.h"
#include "skald/platform/paths.h"
#include "skald/json.h"
#include "tools/common/xml_property_list.h"

namespace {

namespace fs = std::filesystem;
using skald::Json;

constexpr const char* kMountPrefix = "skald-hdiutil-";

int usage() {
    std::cerr << "usage: skald-hdiutil attach IMAGE [-plist] [-nobrowse] [-readonly] [-quiet]\n"
                 "       skald-hdiutil detach MOUNT-POINT\n"
                 "The 7-Zip program is /usr/bin/7zz unless SKALD_7ZZ names another.\n";
    return 2;
}

int failed(const std::string& verb, const std::string& reason) {
    std::cerr << "hdiutil: " << verb << " failed - " << reason << "\n";
    return 1;
}

std::string sevenZipPath() {
    const char* path = std::getenv("SKALD_7ZZ");
    return path && *path ? path : "/usr/bin/7zz";
}

/// Entries a person would see: 7-Zip names file-system metadata "[...]" and
/// volumes hide theirs behind a leading dot.
std::vector<fs::path> visibleEntries(const fs::path& dir) {
    std::vector<fs::path> entries;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.' || name[0] == '[') continue;
        entries.push_back(it->path());
    }
    return entries;
}

/// 7-Zip puts a disk image's files under a folder named after its volume;
/// the volume's root is what a mount would show.
fs::path volumeRoot(const fs::path& unpacked) {
    const auto entries = visibleEntries(unpacked);
    std::error_code ec;
    if (entries.size() == 1 && entries[0].extension() != ".app" &&
        fs::is_directory(fs::symlink_status(entries[0], ec))) {
        return entries[0];
    }
    return unpacked;
}

/// The last lines of a tool's output, for a one-line reason.
std::string lastLines(const std::string& text) {
    std::string reason;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.rfind("ERROR", 0) == 0 || line.find("Cannot open") != std::string::npos ||
            line.find("Is not archive") != std::string::npos) {
            if (!reason.empty()) reason += "; ";
            reason += line;
        }
        start = end + 1;
    }
    return reason;
}

int attach(const std::string& image, bool plist, bool quiet) {
    std::error_code ec;
    if (!fs::exists(image, ec)) return failed("attach", "No such file or directory");
    if (!fs::is_regular_file(image, ec)) return failed("attach", "not a disk image file");

    std::string mount =
        skald::platform::Paths::temporaryDirectory() + "/" + kMountPrefix + "XXXXXX";
    if (!::mkdtemp(mount.data())) {
        return failed("attach",
                      std::string("cannot create a mount point: ") + std::strerror(errno));
    }
    const auto result =
        skald::platform::Task::run(sevenZipPath(), {"x", "-y", "-bd", "-o" + mount, image});
    // 1 is 7-Zip's "warning": files came out, with complaints (an image of
    // another format than its name says, data after the payload).
    const bool unpacked =
        !result.launchError && result.reason == skald::platform::Task::TerminationReason::Exit &&
        (result.status == 0 || (result.status == 1 && !visibleEntries(mount).empty()));
    if (!unpacked) {
        fs::remove_all(mount, ec);
        if (result.launchError) {
            return failed("attach",
                          "cannot run 7-Zip: " + result.launchError->localizedDescription);
        }
        std::string reason = lastLines(result.standardError + "\n" + result.standardOutput);
        return failed("attach", reason.empty() ? "image not recognized" : reason);
    }

    const std::string root = volumeRoot(mount).string();
    const std::string device = fs::absolute(image, ec).string();
    if (plist) {
        const Json entities = Json::array({
            Json{{"content-hint", "GUID_partition_scheme"},
                 {"dev-entry", device},
                 {"potentially-mountable", false},
                 {"unmapped-content-hint", "GUID_partition_scheme"}},
            Json{{"content-hint", "Apple_HFS"},
                 {"dev-entry", device},
                 {"mount-point", root},
                 {"potentially-mountable", true},
                 {"unmapped-content-hint", "48465300-0000-11AA-AA11-00306543ECAC"},
                 {"volume-kind", "hfs"}},
        });
        std::cout << skald::tools::xmlPropertyList(Json{{"system-entities", entities}});
    } else if (!quiet) {
        std::cout << device << "\tGUID_partition_scheme\t\n"
                  << device << "\tApple_HFS\t" << root << "\n";
    }
    std::cout.flush();
    return std::cout ? 0 : 1;
}

int detach(const std::string& mountPoint) {
    std::error_code ec;
    fs::path dir = fs::weakly_canonical(mountPoint, ec);
    if (ec || !fs::is_directory(dir, ec)) return failed("detach", "No such file or directory");
    // Only what "attach" made is removed: the mount point or the volume folder inside it.
    auto ours = [](const fs::path& path) {
        return path.filename().string().rfind(kMountPrefix, 0) == 0;
    };
    if (!ours(dir)) dir = dir.parent_path();
    if (!ours(dir)) return failed("detach", "not a mount point of skald-hdiutil");
    fs::remove_all(dir, ec);
    if (ec) return failed("detach", ec.message());
    std::cout << "\"" << mountPoint << "\" ejected.\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usage();
    const std::string verb = args[0];
    std::vector<std::string> operands;
    bool plist = false;
    bool quiet = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-plist") {
            plist = true;
        } else if (arg == "-quiet") {
            quiet = true;
        } else if (arg == "-nobrowse" || arg == "-readonly" || arg == "-noverify" ||
                   arg == "-noautoopen" || arg == "-force") {
            // Meaningless without a real mount: accepted for compatibility.
        } else if (!arg.empty() && arg[0] == '-') {
            std::cerr << "hdiutil: " << verb << ": unknown option \"" << arg << "\"\n";
            return usage();
        } else {
            operands.push_back(arg);
        }
    }
    if (operands.size() != 1) return usage();
    if (verb == "attach") return attach(operands[0], plist, quiet);
    if (verb == "detach" || verb == "eject") return detach(operands[0]);
    return usage();
}
