#include "tools/download_service/download_service.h"

#include <fcntl.h>
#include <httplib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "skald/platform/property_list.h"
#include "skald/platform/task.h"
#include "skald/platform/paths.h"
#include "tools/common/xml_property_list.h"

namespace skald::tools {

namespace fs = std::filesystem;

namespace {

constexpr const char* kErrorDomain = "com.vantorel.download-service";
constexpr size_t kChunk = 256 * 1024;

Error serviceError(std::string description) {
    return Error(kErrorDomain, 1, std::move(description));
}

std::string contentType(const std::string& name) {
    if (name.ends_with(".dmg")) return "application/x-apple-diskimage";
    if (name.ends_with(".zip")) return "application/zip";
    return "application/octet-stream";
}

/// Fills `path` with `mebibytes` MiB that no compressor can shrink.
std::optional<Error> writePayload(const fs::path& path, uint64_t mebibytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<uint64_t> block(1024 * 1024 / sizeof(uint64_t));
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (uint64_t i = 0; i < mebibytes && out; ++i) {
        for (auto& word : block) {
            // xorshift64*: fast and far from anything a compressor finds.
            state ^= state >> 12;
            state ^= state << 25;
            state ^= state >> 27;
            word = state * 0x2545F4914F6CDD1Dull;
        }
        out.write(reinterpret_cast<const char*>(block.data()),
                  static_cast<std::streamsize>(block.size() * sizeof(uint64_t)));
    }
    out.close();
    if (!out) return serviceError("could not write " + path.string());
    return std::nullopt;
}

std::optional<Error> runIn(const fs::path& dir, const std::string& program,
                           const std::vector<std::string>& arguments) {
    platform::Task task;
    task.setLaunchPath(program);
    task.setArguments(arguments);
    task.setCurrentDirectoryPath(dir.string());
    task.setStandardInput(platform::Task::Stream::NullDevice);
    auto output = platform::Pipe::make();
    task.setStandardOutput(output);
    task.setStandardError(output);
    if (auto error = task.launch()) return error;
    task.waitUntilExit();
    const std::string text = output->readDataToEndOfFile();
    if (task.terminationReason() != platform::Task::TerminationReason::Exit ||
        task.terminationStatus() != 0) {
        return serviceError(program + " failed (" + std::to_string(task.terminationStatus()) +
                            "): " + text);
    }
    return std::nullopt;
}

void answer(httplib::Response& response, int status, const std::string& text) {
    response.status = status;
    response.set_content(text + "\n", "text/plain; charset=utf-8");
}

}  // namespace

DownloadService::DownloadService(DownloadServiceConfig config) : config_(std::move(config)) {}

DownloadService::~DownloadService() {
    stop();
    if (ownsDataDirectory_) {
        std::error_code ec;
        fs::remove_all(config_.dataDirectory, ec);
    }
}

std::string DownloadService::baseUrl() const {
    return "http://" + config_.host + ":" + std::to_string(port_);
}

std::string DownloadService::filePath(const std::string& version) const {
    return (fs::path(config_.dataDirectory) / "files" /
            ("Vantorel-" + version + "." + config_.format))
        .string();
}

std::optional<Error> DownloadService::start() {
    if (server_) return serviceError("the service runs already");
    if (config_.format != "dmg" && config_.format != "zip") {
        return serviceError("unknown format \"" + config_.format + "\" (dmg or zip)");
    }
    if (config_.dataDirectory.empty()) {
        std::string dir = platform::Paths::temporaryDirectory() + "/vantorel-downloads-XXXXXX";
        if (!::mkdtemp(dir.data())) {
            return serviceError(std::string("could not create a data directory: ") +
                                std::strerror(errno));
        }
        config_.dataDirectory = dir;
        ownsDataDirectory_ = true;
    }
    if (auto error = prepare()) return error;

    server_ = std::make_unique<httplib::Server>();
    // Idle keep-alive connections would hold up `stop`.
    server_->set_keep_alive_max_count(4);
    server_->set_keep_alive_timeout(1);
    installRoutes();
    if (config_.port == 0) {
        port_ = server_->bind_to_any_port(config_.host);
    } else if (server_->bind_to_port(config_.host, config_.port)) {
        port_ = config_.port;
    }
    if (port_ <= 0) {
        server_.reset();
        return serviceError("could not listen on " + config_.host + " port " +
                            std::to_string(config_.port));
    }
    thread_ = std::thread([server = server_.get()] { server->listen_after_bind(); });
    return std::nullopt;
}

void DownloadService::stop() {
    if (!server_) return;
    server_->stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
}

std::optional<Error> DownloadService::prepare() {
    std::error_code ec;
    fs::create_directories(fs::path(config_.dataDirectory) / "files", ec);
    if (ec) return serviceError("could not create " + config_.dataDirectory + ": " + ec.message());
    if (auto error = packVersion(config_.version)) return error;
    for (const auto& [name, version] : config_.builds) {
        if (!fs::exists(filePath(version), ec)) {
            if (auto error = packVersion(version)) return error;
        }
    }
    return std::nullopt;
}

std::optional<Error> DownloadService::packVersion(const std::string& version) {
    std::error_code ec;
    const fs::path out = filePath(version);
    fs::remove(out, ec);
    if (config_.serveNonArchive) {
        std::ofstream file(out, std::ios::trunc);
        for (int i = 0; i < 64; ++i) file << "This is not an archive, just text in its place.\n";
        return file ? std::nullopt : std::optional(serviceError("could not write " + out.string()));
    }

    const fs::path stage = fs::path(config_.dataDirectory) / ("stage-" + version);
    fs::remove_all(stage, ec);
    fs::create_directories(stage, ec);
    if (ec) return serviceError("could not create " + stage.string() + ": " + ec.message());
    std::string entry;
    if (config_.serveArchiveWithoutApp) {
        entry = "README.txt";
        std::ofstream(stage / entry) << "Vantorel " << version << " comes without an app here.\n";
    } else {
        entry = "Vantorel.app";
        const fs::path source(config_.appBundle);
        if (config_.appBundle.empty() || !fs::is_directory(source, ec)) {
            return serviceError("no application bundle at \"" + config_.appBundle + "\"");
        }
        const fs::path bundle = stage / entry;
        fs::copy(source, bundle, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        if (ec) return serviceError("could not copy the bundle: " + ec.message());
        const fs::path infoPath = bundle / "Contents" / "Info.plist";
        auto info = platform::readPropertyListFile(infoPath.string());
        if (!info || !info->is_object()) {
            return serviceError(infoPath.string() + " is missing or not a dictionary");
        }
        (*info)["CFBundleShortVersionString"] = version;
        (*info)["CFBundleVersion"] = version;
        std::ofstream(infoPath, std::ios::trunc) << xmlPropertyList(*info);
        if (config_.payloadMiB > 0) {
            fs::create_directories(bundle / "Contents" / "Resources", ec);
            if (auto error = writePayload(bundle / "Contents" / "Resources" / "payload.bin",
                                          config_.payloadMiB)) {
                return error;
            }
        }
    }
    // A payload is stored as it is: it would not shrink, and packing stays fast.
    const std::string level = config_.payloadMiB > 0 ? "-mx=0" : "-mx=5";
    const std::string type = config_.format == "zip" ? "-tzip" : "-t7z";
    if (auto error = runIn(stage, config_.sevenZipPath,
                           {"a", type, level, "-bd", "-y", out.string(), entry})) {
        return error;
    }
    return std::nullopt;
}

void DownloadService::installRoutes() {
    server_->Get("/download", [this](const httplib::Request& request, httplib::Response& response) {
        ++downloadRequests_;
        if (request.get_param_value("v2") != "true") {
            answer(response, 400, "This download API needs v2=true.");
            return;
        }
        const std::string platform = request.get_param_value("platform");
        if (platform != "mac") {
            answer(response, 404, "No Vantorel build for platform \"" + platform + "\".");
            return;
        }
        const std::string arch = request.get_param_value("arch");
        if (arch != "x64" && arch != "arm64") {
            answer(response, 404, "No Vantorel build for architecture \"" + arch + "\".");
            return;
        }
        std::string version = config_.version;
        const std::string build = request.get_param_value("build");
        if (!build.empty()) {
            const auto found = config_.builds.find(build);
            if (found == config_.builds.end()) {
                answer(response, 404, "Unknown Vantorel build \"" + build + "\".");
                return;
            }
            version = found->second;
        }
        response.set_redirect("/files/Vantorel-" + version + "." + config_.format, 302);
    });

    server_->Get(R"(/files/([^/]+))", [this](const httplib::Request& request,
                                             httplib::Response& response) {
        const int index = fileRequests_.fetch_add(1);
        const std::string name = request.matches[1];
        const fs::path path = fs::path(config_.dataDirectory) / "files" / name;
        const int fd =
            name.empty() || name[0] == '.' ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            answer(response, 404, "No such file.");
            return;
        }
        auto file = std::shared_ptr<int>(new int(fd), [](int* descriptor) {
            ::close(*descriptor);
            delete descriptor;
        });
        const off_t size = ::lseek(fd, 0, SEEK_END);
        if (size < 0) {
            answer(response, 500, "Cannot read the file.");
            return;
        }
        const bool drop = index < config_.dropFirst;
        const size_t limit = drop ? static_cast<size_t>(size) / 2 : static_cast<size_t>(size);
        auto buffer = std::make_shared<std::vector<char>>(kChunk);
        // Streamed in chunks from disk: large files never sit in memory.
        response.set_content_provider(
            static_cast<size_t>(size), contentType(name),
            [file, buffer, limit](size_t offset, size_t length, httplib::DataSink& sink) {
                // A dropped transfer hangs up at `limit`, short of its Content-Length.
                if (offset >= limit) return false;
                const size_t want = std::min({length, buffer->size(), limit - offset});
                const auto got = ::pread(*file, buffer->data(), want, static_cast<off_t>(offset));
                if (got <= 0) return false;
                return sink.write(buffer->data(), static_cast<size_t>(got));
            });
    });
}

}  // namespace skald::tools
