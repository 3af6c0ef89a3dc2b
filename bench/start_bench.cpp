// How long starting the SDK holds the calling (main) thread: each run starts
// it in a fresh child process, so that every start is a process's first, with
// an empty cache, 30 cached envelopes, or a crash report of an earlier run.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "skald/options.h"
#include "skald/sdk.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Nothing listens there: envelopes stay cached, nothing waits on a network.
constexpr const char* kDsn = "http://0123456789abcdef0123456789abcdef@127.0.0.1:9/1";

std::shared_ptr<skald::Options> optionsFor(const fs::path& cache) {
    auto options = std::make_shared<skald::Options>();
    options->setDsn(kDsn);
    options->cacheDirectoryPath = cache.string();
    return options;
}

/// Runs `body` in a child process and waits for it; what the child writes to
/// the pipe (a duration in seconds) is returned, or a negative value.
double threadCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The calling thread's CPU time during the last start, for the counters.
double gLastStartCpu = 0;

double inChild(const std::function<double()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const double result[2] = {body(), gLastStartCpu};
        (void)!::write(fds[1], result, sizeof result);
        std::_Exit(0);
    }
    ::close(fds[1]);
    double result[2] = {-1, 0};
    if (::read(fds[0], result, sizeof result) != sizeof result) result[0] = -1;
    const double seconds = result[0];
    gLastStartCpu = result[1];
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return seconds;
}

double timedStart(const fs::path& cache) {
    return inChild([&] {
        auto options = optionsFor(cache);
        const double cpu = threadCpuSeconds();
        const auto started = Clock::now();
        skald::SDK::startWithOptions(options);
        const double wall = std::chrono::duration<double>(Clock::now() - started).count();
        gLastStartCpu = threadCpuSeconds() - cpu;
        return wall;
    });
}

/// A cache folder as a previous run left it; copied fresh for every start.
class Template {
  public:
    explicit Template(const std::string& name)
        : root_(fs::temp_directory_path() /
                ("skald-start-bench-" + name + "-" + std::to_string(::getpid()))) {
        fs::remove_all(root_);
        fs::create_directories(root_ / "template");
    }
    ~Template() { fs::remove_all(root_); }
    fs::path templatePath() const { return root_ / "template"; }
    fs::path freshCopy() const {
        const fs::path copy = root_ / "run";
        fs::remove_all(copy);
        fs::copy(templatePath(), copy, fs::copy_options::recursive);
        return copy;
    }

  private:
    fs::path root_;
};

size_t filesUnder(const fs::path& folder, const std::string& part) {
    size_t count = 0;
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(folder, error))
        if (entry.is_regular_file() && entry.path().string().find(part) != std::string::npos)
            ++count;
    return count;
}

void runStarts(benchmark::State& state, const Template* source) {
    double cpu = 0;
    for (auto _ : state) {
        fs::path cache;
        if (source) {
            cache = source->freshCopy();
        } else {
            cache = fs::temp_directory_path() /
                    ("skald-start-bench-empty-" + std::to_string(::getpid()));
            fs::remove_all(cache);
        }
        const double seconds = timedStart(cache);
        if (seconds < 0) state.SkipWithError("the child did not report");
        state.SetIterationTime(seconds);
        cpu += gLastStartCpu;
        fs::remove_all(cache);
    }
    // The calling thread's own CPU time: the rest of the wall time it waited.
    state.counters["thread_cpu_ms"] =
        benchmark::Counter(cpu * 1000 / static_cast<double>(state.iterations()));
}

void BM_StartEmptyCache(benchmark::State& state) {
    runStarts(state, nullptr);
}
BENCHMARK(BM_StartEmptyCache)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);

void BM_StartWith30CachedEnvelopes(benchmark::State& state) {
    Template source("envelopes");
    inChild([&] {
        skald::SDK::startWithOptions(optionsFor(source.templatePath()));
        for (int i = 0; i < 30; ++i) skald::SDK::captureMessage("cached " + std::to_string(i));
        // Sending fails (nothing listens); the envelopes stay on disk.
        skald::SDK::flush(2);
        for (int wait = 0; wait < 300 && filesUnder(source.templatePath(), "/envelopes/") < 30;
             ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return 0.0;
    });
    const size_t cached = filesUnder(source.templatePath(), "/envelopes/");
    state.counters["cached"] = static_cast<double>(cached);
    if (cached < 30) state.SkipWithError("the envelopes were not cached");
    runStarts(state, &source);
}
BENCHMARK(BM_StartWith30CachedEnvelopes)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(30);

void BM_StartWithOneCrashReport(benchmark::State& state) {
    Template source("crash");
    inChild([&] {
        skald::SDK::startWithOptions(optionsFor(source.templatePath()));
        // Later than a start-up crash, which would be sent before start returns.
        std::this_thread::sleep_for(std::chrono::milliseconds(2200));
        ::raise(SIGSEGV);
        return 0.0;
    });
    const size_t reports = filesUnder(source.templatePath(), "-report-");
    state.counters["reports"] = static_cast<double>(reports);
    if (reports != 1) state.SkipWithError("no crash report was written");
    runStarts(state, &source);
}
BENCHMARK(BM_StartWithOneCrashReport)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(30);

}  // namespace

BENCHMARK_MAIN();
