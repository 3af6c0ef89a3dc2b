// skald-download-service: the maker's download service, run locally for the
// installer (see download_service.h for what it answers).
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "tools/download_service/download_service.h"

namespace {

void usage() {
    std::cerr <<
        R"(usage: skald-download-service [options]
  --host ADDRESS         address to listen on (default 127.0.0.1)
  --port N               port (default 0: a free one); the port is printed
  --app PATH             the Vantorel.app bundle to serve (default: the one
                         built beside this program)
  --data-dir DIR         where the packed files go (default: a fresh
                         directory under $TMPDIR, removed at exit)
  --format dmg|zip       what /download points to (default dmg: a 7z archive
                         named .dmg, which skald-hdiutil unpacks)
  --version V            the default build's version (default 1.0.0)
  --build NAME=VERSION   a named build for the query item "build" (repeatable)
  --payload-mib N        add N MiB of incompressible data to the bundle
  --drop-first N         the first N file downloads hang up halfway
  --serve-non-archive    serve text in place of the archive
  --serve-no-app         serve an archive without an application bundle
  --7zz PATH             the 7-Zip program (default /usr/bin/7zz)
Stops on SIGINT or SIGTERM.
)";
}

/// The bundle built beside this program, in the build tree or installed.
std::string defaultAppBundle() {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    for (const fs::path& candidate :
         {self.parent_path() / "Vantorel.app",
          self.parent_path() / ".." / "share" / "skald" / "Vantorel.app"}) {
        if (fs::is_directory(candidate, ec)) return candidate.lexically_normal().string();
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    skald::tools::DownloadServiceConfig config;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "skald-download-service: " << arg << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        auto number = [&](long long maximum) -> long long {
            const std::string text = value();
            char* end = nullptr;
            const long long n = std::strtoll(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || n < 0 || n > maximum) {
                std::cerr << "skald-download-service: " << arg << " needs a number up to "
                          << maximum << ", not \"" << text << "\"\n";
                std::exit(2);
            }
            return n;
        };
        if (arg == "--host") {
            config.host = value();
        } else if (arg == "--port") {
            config.port = static_cast<int>(number(65535));
        } else if (arg == "--app") {
            config.appBundle = value();
        } else if (arg == "--data-dir") {
            config.dataDirectory = value();
        } else if (arg == "--format") {
            config.format = value();
        } else if (arg == "--version") {
            config.version = value();
        } else if (arg == "--build") {
            const std::string pair = value();
            const auto equals = pair.find('=');
            if (equals == std::string::npos || equals == 0 || equals + 1 == pair.size()) {
                std::cerr << "skald-download-service: --build needs NAME=VERSION\n";
                return 2;
            }
            config.builds[pair.substr(0, equals)] = pair.substr(equals + 1);
        } else if (arg == "--payload-mib") {
            config.payloadMiB = static_cast<uint64_t>(number(16384));
        } else if (arg == "--drop-first") {
            config.dropFirst = static_cast<int>(number(1000000));
        } else if (arg == "--serve-non-archive") {
            config.serveNonArchive = true;
        } else if (arg == "--serve-no-app") {
            config.serveArchiveWithoutApp = true;
        } else if (arg == "--7zz") {
            config.sevenZipPath = value();
        } else if (arg == "-h" || arg == "--help") {
            usage();
            return 0;
        } else {
            std::cerr << "skald-download-service: unknown option " << arg << "\n";
            usage();
            return 2;
        }
    }
    if (config.appBundle.empty()) config.appBundle = defaultAppBundle();

    // Wait for the stop signals synchronously, on this thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    skald::tools::DownloadService service(config);
    if (auto error = service.start()) {
        std::cerr << "skald-download-service: " << error->localizedDescription << "\n";
        return 1;
    }
    std::cout << "skald-download-service listening on " << service.baseUrl() << "\n"
              << "port " << service.port() << std::endl;
    int signal = 0;
    sigwait(&stopSignals, &signal);
    service.stop();
    return 0;
}
