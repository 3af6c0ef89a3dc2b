#include "core/crash_wrapper.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

#include "core/dependency_container.h"
#include "crash/recording/app_state_monitor.h"
#include "crash/recording/binary_image_cache.h"
#include "crash/recording/system_info.h"
#include "platform/base/path.h"
#include "platform/system/locale.h"
#include "platform/system/process_status.h"
#include "skald/platform/bundle.h"
#include "skald/scope.h"
#include "util/file_io.h"
#include "util/log.h"

namespace skald {

namespace {

constexpr uint64_t kProcFileLimit = 64 * 1024;

/// Copies `key` of `from` as `as` into `to` when it is there.
void copyValue(const Json& from, const char* key, Json& to, const char* as) {
    if (const auto it = from.find(key); it != from.end() && !it->is_null()) to[as] = *it;
}

void putText(Json& json, const char* key, const std::optional<std::string>& value) {
    if (value) json[key] = *value;
}

}  // namespace

CrashWrapper::CrashWrapper(std::string procRoot) : procRoot_(std::move(procRoot)) {
    crash::systeminfo::enable();
}

bool CrashWrapper::crashedLastLaunch() {
    return crash::appstate::currentState().crashedLastLaunch;
}

double CrashWrapper::durationFromCrashStateInitToLastCrash() {
    return crash::appstate::currentState().durationFromCrashStateInitToLastCrash;
}

double CrashWrapper::activeDurationSinceLastCrash() {
    return crash::appstate::currentState().activeDurationSinceLastCrash;
}

bool CrashWrapper::isApplicationInForeground() {
    return crash::appstate::currentState().applicationIsInForeground;
}

bool CrashWrapper::isBeingTraced() {
    const auto status = readProcFile("self/status");
    if (!status) return false;
    const auto tracer = platform::statusField(*status, "TracerPid");
    return tracer && !tracer->empty() && *tracer != "0";
}

bool CrashWrapper::isSimulatorBuild() {
    return false;
}

Json CrashWrapper::systemInfo() {
    std::call_once(systemInfoOnce_, [this] { systemInfo_ = crash::systeminfo::systemInfo(); });
    return systemInfo_;
}

uint64_t CrashWrapper::freeMemorySize() {
    const auto meminfo = readProcFile("meminfo");
    if (!meminfo) return 0;
    const auto free = crash::systeminfo::meminfoBytes(*meminfo, "MemFree");
    if (!free) {
        SKALD_LOG_ERROR("%s/meminfo: no MemFree", procRoot_.c_str());
        return 0;
    }
    return *free;
}

uint64_t CrashWrapper::appMemorySize() {
    const auto statm = readProcFile("self/statm");
    if (!statm) return 0;
    unsigned long long sizePages = 0;
    unsigned long long residentPages = 0;
    if (std::sscanf(statm->c_str(), "%llu %llu", &sizePages, &residentPages) != 2) {
        SKALD_LOG_ERROR("%s/self/statm: unexpected contents", procRoot_.c_str());
        return 0;
    }
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) return 0;
    uint64_t bytes = static_cast<uint64_t>(residentPages) * static_cast<uint64_t>(pageSize);
    // Swapped-out pages still belong to the process, as compressed memory does
    // elsewhere. Kernels without swap accounting simply have no such line.
    if (const auto status = readProcFile("self/status")) {
        if (const auto swap = platform::statusField(*status, "VmSwap")) {
            const std::string line = "VmSwap: " + *swap;
            bytes += crash::systeminfo::meminfoBytes(line, "VmSwap").value_or(0);
        }
    }
    return bytes;
}

void CrashWrapper::startBinaryImageCache() {
    DependencyContainer::sharedInstance()->binaryImageCache()->start();
}

void CrashWrapper::stopBinaryImageCache() {
    DependencyContainer::sharedInstance()->binaryImageCache()->stop();
}

void CrashWrapper::enrichScope(Scope& scope) {
    const Json info = systemInfo();
    const bool haveInfo = info.is_object() && !info.empty();

    Json os = Json::object();
    os["name"] = "Linux";
    putText(os, "version", crash::systeminfo::systemVersion());
    if (haveInfo) {
        copyValue(info, "osVersion", os, "build");
        copyValue(info, "kernelVersion", os, "kernel_version");
        copyValue(info, "isJailbroken", os, "rooted");
    }
    scope.setContextValue(std::move(os), "os");

    if (!haveInfo) return;

    Json device = Json::object();
    device["simulator"] = isSimulatorBuild();
    if (const auto it = info.find("systemName"); it != info.end() && it->is_string()) {
        const std::string name = it->get<std::string>();
        device["family"] = name.substr(0, name.find(' '));
    }
    copyValue(info, "cpuArchitecture", device, "arch");
    copyValue(info, "machine", device, "model");
    copyValue(info, "model", device, "model_id");
    copyValue(info, "freeMemorySize", device, "free_memory");
    copyValue(info, "usableMemorySize", device, "usable_memory");
    copyValue(info, "memorySize", device, "memory_size");
    device["locale"] = platform::Locale::current().identifier();
    scope.setContextValue(std::move(device), "device");

    Json app = Json::object();
    if (const auto bundle = platform::Bundle::main()) {
        putText(app, "app_identifier", bundle->infoText("CFBundleIdentifier"));
        putText(app, "app_name", bundle->infoText("CFBundleName"));
        putText(app, "app_build", bundle->infoText("CFBundleVersion"));
        putText(app, "app_version", bundle->infoText("CFBundleShortVersionString"));
    }
    copyValue(info, "appStartTime", app, "app_start_time");
    copyValue(info, "deviceAppHash", app, "device_app_hash");
    copyValue(info, "appID", app, "app_id");
    copyValue(info, "buildType", app, "build_type");
    scope.setContextValue(std::move(app), "app");
}

std::optional<std::string> CrashWrapper::readProcFile(const std::string& relativePath) const {
    const std::string path = platform::appendingPathComponent(procRoot_, relativePath);
    std::string error;
    auto contents = readFileContents(path, &error, kProcFileLimit);
    if (!contents) SKALD_LOG_ERROR("%s", error.c_str());
    return contents;
}

}  // namespace skald
