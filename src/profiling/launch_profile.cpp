#include "profiling/launch_profile.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "core/dependency_container.h"
#include "core/tracing/sampling.h"
#include "core/tracing/tracer.h"
#include "persistence/file_manager.h"
#include "platform/process/no_destructor.h"
#include "profiling/continuous_profiler.h"
#include "profiling/profiling_hooks_impl.h"
#include "skald/options.h"
#include "skald/platform/paths.h"
#include "util/file_io.h"
#include "util/log.h"
#include "util/random.h"

namespace skald::profiling {

namespace {

std::atomic<bool> gLaunchProfileRunning{false};

struct LaunchTracer {
    std::mutex mutex;
    std::shared_ptr<Tracer> tracer;
    bool started = false;
};

LaunchTracer& launchTracer() {
    static platform::NoDestructor<LaunchTracer> instance;
    return *instance;
}

constexpr uint64_t kMaxConfigBytes = 4096;

void storeConfig(const Json& config) {
    const std::string path = launchProfileConfigPath();
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    std::string why;
    if (!writeFileAtomically(path, config.dump(), 0600, &why)) {
        SKALD_LOG_ERROR("Could not store the launch profiling configuration: %s", why.c_str());
    }
}

void removeConfig() {
    ::unlink(launchProfileConfigPath().c_str());
}

std::optional<double> rateIn(const Json& config, const char* key) {
    auto it = config.find(key);
    if (it == config.end() || !it->is_number()) return std::nullopt;
    const double rate = it->get<double>();
    if (rate < 0 || rate > 1) return std::nullopt;
    return rate;
}

}  // namespace

bool isLaunchProfileRunning() {
    return gLaunchProfileRunning.load();
}

void setLaunchProfileRunning(bool running) {
    gLaunchProfileRunning = running;
}

std::string launchProfileConfigPath() {
    return platform::Paths::applicationSupportDirectory() + "/" + FileManager::kDirectoryName +
           "/profileLaunch";
}

std::optional<LaunchProfileConfig> parseLaunchProfileConfig(const std::string& text) {
    const Json config = Json::parse(text, nullptr, false);
    if (!config.is_object()) return std::nullopt;
    LaunchProfileConfig parsed;
    if (auto it = config.find("continuous_profiling"); it != config.end() && it->is_boolean()) {
        parsed.continuousProfiling = it->get<bool>();
    }
    parsed.tracesRate = rateIn(config, "traces");
    parsed.profilesRate = rateIn(config, "profiles");
    return parsed;
}

void configureLaunchProfiling(const Options& options) {
    if (options.enableAppLaunchProfiling && options.isContinuousProfilingEnabled()) {
        storeConfig(Json{{"continuous_profiling", true}});
        return;
    }
    if (options.enableAppLaunchProfiling && options.isTracingEnabled()) {
        TransactionContext context("app.launch", "profile");
        context.forNextAppLaunch = true;
        const SamplingContext samplingContext(context);
        auto random = DependencyContainer::sharedInstance()->random();
        const auto traces = sampleTrace(samplingContext, options, *random);
        if (traces.decision != SampleDecision::Yes) {
            SKALD_LOG_DEBUG("Sampling out the launch trace.");
            removeConfig();
            return;
        }
        const auto profiles = sampleTraceProfile(samplingContext, traces, options, *random);
        if (profiles.decision != SampleDecision::Yes) {
            SKALD_LOG_DEBUG("Sampling out the launch trace profile.");
            removeConfig();
            return;
        }
        storeConfig(Json{{"traces", traces.sampleRate.value_or(1.0)},
                         {"profiles", profiles.sampleRate.value_or(1.0)}});
        return;
    }
    SKALD_LOG_DEBUG(
        "Won't profile next launch due to specified options configuration: "
        "options.enableAppLaunchProfiling: %d; options.enableTracing: %d",
        options.enableAppLaunchProfiling ? 1 : 0, options.isTracingEnabled() ? 1 : 0);
    removeConfig();
}

void startLaunchProfileIfConfigured() {
    auto& launch = launchTracer();
    {
        std::lock_guard guard(launch.mutex);
        if (launch.started) return;
        launch.started = true;
    }
    const auto text = readOwnFile(launchProfileConfigPath(), kMaxConfigBytes);
    if (!text) return;
    const auto config = parseLaunchProfileConfig(*text);
    if (!config) {
        SKALD_LOG_WARNING("The launch profiling configuration is not valid; removing it.");
        removeConfig();
        return;
    }
    startLaunchProfile(*config);
}

void startLaunchProfile(const LaunchProfileConfig& config) {
    installProfilingHooks();
    if (config.continuousProfiling) {
        ContinuousProfiler::start();
        return;
    }
    if (!config.tracesRate || !config.profilesRate) return;
    setLaunchProfileRunning(true);
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    SKALD_LOG_INFO("Starting app launch trace profile at %llu.",
                   static_cast<unsigned long long>(now.tv_sec) * 1'000'000'000ull +
                       static_cast<unsigned long long>(now.tv_nsec));
    TransactionContext context("launch", TransactionNameSource::Custom, "app.lifecycle",
                               "auto.app.start.profile", SampleDecision::Yes);
    context.setSampleRate(config.tracesRate);
    TracerConfiguration configuration;
    configuration.profilesSamplerDecision = {SampleDecision::Yes, config.profilesRate};
    auto tracer = Tracer::make(std::move(context), nullptr, configuration);
    auto& launch = launchTracer();
    std::lock_guard guard(launch.mutex);
    launch.tracer = std::move(tracer);
}

bool hasLaunchTracer() {
    auto& launch = launchTracer();
    std::lock_guard guard(launch.mutex);
    return launch.tracer != nullptr;
}

void stopLaunchProfile(const std::shared_ptr<Hub>& hub) {
    std::shared_ptr<Tracer> tracer;
    {
        auto& launch = launchTracer();
        std::lock_guard guard(launch.mutex);
        tracer = std::move(launch.tracer);
    }
    if (!tracer) {
        SKALD_LOG_DEBUG("No launch tracer present to stop.");
        return;
    }
    tracer->setHub(hub);
    SKALD_LOG_DEBUG("Finishing launch tracer.");
    tracer->finish();
    setLaunchProfileRunning(false);
}

namespace {

// The previous run's configuration is read before the program's entry, so
// that the launch is profiled from its start.
__attribute__((constructor)) void startLaunchProfileAtLoad() {
    try {
        startLaunchProfileIfConfigured();
    } catch (...) {
        // Nothing may escape into the loader.
    }
}

}  // namespace

}  // namespace skald::profiling
