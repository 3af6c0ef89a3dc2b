#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "skald/error.h"

namespace httplib {
class Server;
}

namespace skald::tools {

/// The maker's download service, run locally: the installer asks it for the
/// current build and downloads the archive it points to.
///
/// GET /download?v2=true&platform=mac&arch=x64[&build=NAME]
///   302 to /files/Vantorel-<version>.<format> when the query names a build
///   that exists: "v2" must be "true" (else 400), "platform" "mac" and
///   "arch" "x64" or "arm64" (else 404); "build", when present and not
///   empty, must be one of the named builds (else 404); absent or empty, the
///   default build is served. Error answers carry a one-line text.
/// GET /files/<name>
///   the file, streamed from disk with its Content-Length.
///
/// The files are made at start from the application bundle: one staged copy
/// per version (its Info.plist carrying that version) packed with 7-Zip.
/// "zip" is a zip archive. "dmg" is a 7z archive with the ".dmg" name: 7-Zip
/// cannot write Apple disk images, and skald-hdiutil unpacks images with
/// 7-Zip, which takes either, so the installer's disk-image path runs for
/// real on it. It is not an image a Mac could mount.
struct DownloadServiceConfig {
    std::string host = "127.0.0.1";
    /// 0 picks a free port.
    int port = 0;
    /// The "Vantorel.app" bundle to serve.
    std::string appBundle;
    /// Where the staged bundles and the files go; empty: a fresh directory
    /// under $TMPDIR, removed when the service is destroyed.
    std::string dataDirectory;
    /// "dmg" or "zip".
    std::string format = "dmg";
    /// The default build's version.
    std::string version = "1.0.0";
    /// Named builds ("beta" -> "1.1.0-beta.1") selected by the "build" item.
    std::map<std::string, std::string> builds;
    /// Adds Contents/Resources/payload.bin of this many MiB of incompressible
    /// bytes to the bundle, stored uncompressed (download benchmarks).
    uint64_t payloadMiB = 0;

    // Test hooks.
    /// The first N file requests send half of the file, then hang up.
    int dropFirst = 0;
    /// Serves a text file under the archive's name.
    bool serveNonArchive = false;
    /// Serves an archive whose only entry is a text file.
    bool serveArchiveWithoutApp = false;
    /// Where the 7-Zip program is.
    std::string sevenZipPath = "/usr/bin/7zz";
};

class DownloadService {
  public:
    explicit DownloadService(DownloadServiceConfig config);
    ~DownloadService();
    DownloadService(const DownloadService&) = delete;
    DownloadService& operator=(const DownloadService&) = delete;

    /// Makes the files, binds and starts serving on a thread of its own.
    std::optional<Error> start();
    void stop();

    int port() const { return port_; }
    /// "http://HOST:PORT".
    std::string baseUrl() const;
    /// The path of the file served for `version`.
    std::string filePath(const std::string& version) const;
    /// Requests answered so far, by kind.
    int downloadRequests() const { return downloadRequests_.load(); }
    int fileRequests() const { return fileRequests_.load(); }

  private:
    std::optional<Error> prepare();
    std::optional<Error> packVersion(const std::string& version);
    void installRoutes();

    DownloadServiceConfig config_;
    bool ownsDataDirectory_ = false;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<int> downloadRequests_{0};
    std::atomic<int> fileRequests_{0};
};

}  // namespace skald::tools
