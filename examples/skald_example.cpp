// A small host program: starts the SDK with the DSN from SKALD_DSN and runs
// the commands given as arguments, in order. Run with --help for the list.
#include <sys/mman.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "skald/skald.h"

namespace {

constexpr const char* kUsage = R"(usage: skald-example [options] [commands]

Starts the SDK with the DSN in the environment variable SKALD_DSN, then runs
the commands in the order given and flushes before exit.

options:
  --debug                   print the SDK's own log
  --release NAME            release name (default "skald-example@1.0.0")
  --environment NAME        environment (default "production")
  --cache-dir PATH          where the SDK keeps its files
  --flush SECONDS           how long to wait for sending at exit (default 5)

commands:
  --breadcrumb TEXT         add a breadcrumb
  --user ID [--email ADDR]  set the user
  --tag KEY=VALUE           set a tag
  --extra KEY=VALUE         set an extra
  --context NAME=JSON       set a context (a JSON object)
  --message TEXT            capture a message
  --error DOMAIN:CODE:TEXT  capture an error; the --underlying options that
  --underlying DOMAIN:CODE:TEXT   follow it give its cause, its cause's cause...
  --attachment PATH TEXT    capture a message event with the file attached
  --scope-file PATH         attach the file to every later event and crash
  --scope-text NAME=TEXT    attach TEXT as the file NAME the same way
  --transaction NAME        run a transaction bound to the scope: three nested
                            spans (the innermost left open, so it ends as
                            deadline_exceeded) and an error captured inside it
  --metrics SECONDS         enable metrics and record them for SECONDS: every
                            100 ms a counter, a distribution, a gauge and a set
                            member (see recordMetrics); the first five rounds
                            and a timing inside a bound transaction
  --metrics-flush X         send the metrics recorded so far (X is ignored)
  --lifecycle EVENT         tell the SDK what the application does: active,
                            resign, background, foreground or terminate
  --sleep SECONDS           wait (a crash after 2 s is not a start-up crash)
  --crashed-last-run VALUE  print "crashed last run: yes|no" (VALUE is ignored)
  --crash KIND              crash: segv, bus, fpe, ill, abort, cpp-exception,
                            stack-overflow or thread (a segv on another thread)

options that go before the commands, too:
  --max-breadcrumbs N       the scope's breadcrumb limit (default 100)
  --no-crash-handler        start without crash handling
  --traces-sample-rate R    sample transactions at rate R (default 1)
)";

struct Settings {
    bool debug = false;
    std::string release = "skald-example@1.0.0";
    std::optional<std::string> environment;
    std::optional<std::string> cacheDir;
    double flushSeconds = 5;
    std::optional<size_t> maxBreadcrumbs;
    bool crashHandler = true;
    double tracesSampleRate = 1.0;
    bool metrics = false;
};

bool splitPair(const std::string& text, char separator, std::string& key, std::string& value) {
    const auto at = text.find(separator);
    if (at == std::string::npos || at == 0) return false;
    key = text.substr(0, at);
    value = text.substr(at + 1);
    return true;
}

std::optional<skald::Error> parseError(const std::string& text) {
    const auto first = text.find(':');
    const auto second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos) return std::nullopt;
    char* end = nullptr;
    const std::string code = text.substr(first + 1, second - first - 1);
    const long long value = std::strtoll(code.c_str(), &end, 10);
    if (code.empty() || *end != '\0') return std::nullopt;
    skald::Error error(text.substr(0, first), value, text.substr(second + 1));
    error.userInfo["NSDebugDescription"] = error.localizedDescription;
    return error;
}

int fail(const char* message, const char* argument) {
    std::fprintf(stderr, "skald-example: %s%s%s\n", message, argument ? ": " : "",
                 argument ? argument : "");
    return 2;
}

void report(const char* what, const skald::Id& id) {
    std::printf("%s: %s\n", what,
                id == skald::Id::empty() ? "not sent" : id.skaldIdString().c_str());
}

}  // namespace

// Kept out of line and exported so that captured stacks name the program's own frames.
// Spans held by guards finish when their scope ends; the transaction sends
// itself when it finishes.
void runTransaction(const std::string& name) {
    skald::ScopedSpan transaction(skald::SDK::startTransaction(name, "example.task", true));
    {
        auto load = transaction.startChild("task.load", "catalogue");
        auto query = load.startChild("db.query", "SELECT price FROM items");
        // Left open: the transaction ends it as deadline_exceeded.
        query.startChild("file.read", "prices.json").release();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        skald::SDK::captureError(skald::Error("ExampleDomain", 7, "failure inside " + name));
    }
    transaction.finish();
}

__attribute__((noinline)) skald::Id captureErrorChain(std::vector<skald::Error> chain) {
    // Innermost cause last on the command line; link from the inside out.
    for (size_t i = chain.size() - 1; i > 0; --i) {
        chain[i - 1].underlyingError = std::make_shared<skald::Error>(chain[i]);
    }
    const auto id = skald::SDK::captureError(chain.front());
    report("error", id);
    return id;
}

__attribute__((noinline)) skald::Id captureMessageWithAttachment(const std::string& path,
                                                                 const std::string& text) {
    const auto id = skald::SDK::captureMessage(
        text, [&](skald::Scope& scope) { scope.addAttachment(skald::Attachment::fromPath(path)); });
    report("attachment", id);
    return id;
}

// The crashing functions, out of line and exported so that crash reports name them.
extern "C" {

__attribute__((noinline)) void exampleCrashNullPointer() {
    volatile int* volatile nothing = nullptr;  // opaque: the store must stay
    *nothing = 1;
}

__attribute__((noinline)) void exampleCrashBusError() {
    // A mapping beyond the end of its (empty) file.
    FILE* file = std::tmpfile();
    auto* mapped = static_cast<volatile char*>(
        ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, ::fileno(file), 0));
    mapped[0] = 1;
}

__attribute__((noinline)) int exampleCrashDivideByZero(int divisor) {
    volatile int dividend = 1;
    return dividend / divisor;
}

__attribute__((noinline)) void exampleCrashIllegalInstruction() {
    __builtin_trap();
}

__attribute__((noinline)) void exampleCrashAbort() {
    std::abort();
}

__attribute__((noinline)) void exampleCrashThrow() {
    throw std::runtime_error("skald-example threw on purpose");
}

__attribute__((noinline)) int exampleCrashRecurse(volatile int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (depth == -1) return 0;  // never; keeps the compiler from proving the recursion endless
    return exampleCrashRecurse(depth + 1) + frame[0];
}
}

namespace {

bool crash(const std::string& kind) {
    if (kind == "segv") exampleCrashNullPointer();
    if (kind == "bus") exampleCrashBusError();
    if (kind == "fpe") std::printf("%d\n", exampleCrashDivideByZero(0));
    if (kind == "ill") exampleCrashIllegalInstruction();
    if (kind == "abort") exampleCrashAbort();
    if (kind == "cpp-exception") exampleCrashThrow();
    if (kind == "stack-overflow") std::printf("%d\n", exampleCrashRecurse(0));
    if (kind == "thread") std::thread(exampleCrashNullPointer).join();
    return false;
}

}  // namespace

// Round n records: "example.requests" +1 and "example.latency" (n % 7) + 0.5 ms,
// both with the two tags below; the gauge "example.queue depth!" n % 5; the
// set "example.users" member "user-<n % 13>". tests/e2e/metrics_e2e_test.cpp
// computes what must arrive from the printed number of rounds.
void recordMetrics(double seconds) {
    auto metrics = skald::SDK::metrics();
    const skald::MetricsAPI::Tags tags = {{"route", "/checkout"},
                                          {"tag key/with spaces", "a,b|c\\d"}};
    skald::ScopedSpan transaction(skald::SDK::startTransaction("metrics", "example.metrics", true));
    metrics->timing("example.timed",
                    [] { std::this_thread::sleep_for(std::chrono::milliseconds(10)); });
    const auto start = std::chrono::steady_clock::now();
    const auto length = std::chrono::duration<double>(seconds);
    int rounds = 0;
    for (; std::chrono::steady_clock::now() - start < length; ++rounds) {
        if (rounds == 5) transaction.finish();
        metrics->increment("example.requests", 1, skald::MeasurementUnit::none(), tags);
        metrics->distribution("example.latency", rounds % 7 + 0.5,
                              skald::MeasurementUnit::Duration::millisecond(), tags);
        metrics->gauge("example.queue depth!", rounds % 5, skald::MeasurementUnit::none(),
                       {{"queue", "main"}});
        metrics->set("example.users", "user-" + std::to_string(rounds % 13));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    transaction.finish();
    std::printf("metrics rounds: %d\n", rounds);
}

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    Settings settings;

    // Settings first, wherever they stand, so that the SDK starts before any command.
    std::vector<std::string> commands;
    for (size_t i = 0; i < args.size(); ++i) {
        const auto& arg = args[i];
        auto value = [&]() -> const std::string* {
            return i + 1 < args.size() ? &args[++i] : nullptr;
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--no-crash-handler") {
            settings.crashHandler = false;
        } else if (arg == "--traces-sample-rate") {
            if (i + 1 >= args.size()) return fail("missing value for", arg.c_str());
            settings.tracesSampleRate = std::atof(args[++i].c_str());
        } else if (arg == "--max-breadcrumbs") {
            if (i + 1 >= args.size()) return fail("missing value for", arg.c_str());
            settings.maxBreadcrumbs = static_cast<size_t>(std::atoll(args[++i].c_str()));
        } else if (arg == "--debug") {
            settings.debug = true;
        } else if (arg == "--metrics") {
            // Also a command: metrics must be on from the start.
            settings.metrics = true;
            commands.push_back(arg);
        } else if (arg == "--release" || arg == "--environment" || arg == "--cache-dir" ||
                   arg == "--flush") {
            const auto* text = value();
            if (!text) return fail("missing value for", arg.c_str());
            if (arg == "--release") settings.release = *text;
            if (arg == "--environment") settings.environment = *text;
            if (arg == "--cache-dir") settings.cacheDir = *text;
            if (arg == "--flush") settings.flushSeconds = std::atof(text->c_str());
        } else {
            commands.push_back(arg);
        }
    }

    if (!std::getenv("SKALD_DSN")) {
        std::fputs("skald-example: SKALD_DSN is not set; nothing will be sent\n", stderr);
    }
    skald::SDK::startWithConfigureOptions([&](skald::Options& options) {
        options.debug = settings.debug;
        options.releaseName = settings.release;
        if (settings.environment) options.environment = *settings.environment;
        if (settings.cacheDir) options.cacheDirectoryPath = *settings.cacheDir;
        // The program's own frames count as in-app.
        options.addInAppInclude("skald-example");
        options.enableCrashHandler = settings.crashHandler;
        options.setTracesSampleRate(settings.tracesSampleRate);
        if (settings.maxBreadcrumbs) options.maxBreadcrumbs = *settings.maxBreadcrumbs;
        options.enableMetrics = settings.metrics;
    });

    for (size_t i = 0; i < commands.size(); ++i) {
        const auto& command = commands[i];
        auto value = [&]() -> const std::string* {
            return i + 1 < commands.size() ? &commands[++i] : nullptr;
        };
        const std::string* text = value();
        if (!text) return fail("missing value for", command.c_str());
        std::string key, rest;
        if (command == "--breadcrumb") {
            auto crumb = std::make_shared<skald::Breadcrumb>(skald::Level::Info, "example");
            crumb->message = *text;
            skald::SDK::addBreadcrumb(crumb);
        } else if (command == "--user") {
            auto user = std::make_shared<skald::User>(*text);
            if (i + 2 < commands.size() && commands[i + 1] == "--email") {
                user->setEmail(commands[i + 2]);
                i += 2;
            }
            skald::SDK::setUser(user);
        } else if (command == "--tag" || command == "--extra" || command == "--context") {
            if (!splitPair(*text, '=', key, rest)) return fail("expected KEY=VALUE", text->c_str());
            if (command == "--tag") {
                skald::SDK::configureScope([&](skald::Scope& s) { s.setTagValue(rest, key); });
            } else if (command == "--extra") {
                skald::SDK::configureScope([&](skald::Scope& s) { s.setExtraValue(rest, key); });
            } else {
                auto json = skald::Json::parse(rest, nullptr, false);
                if (!json.is_object()) return fail("expected a JSON object", rest.c_str());
                skald::SDK::configureScope([&](skald::Scope& s) { s.setContextValue(json, key); });
            }
        } else if (command == "--message") {
            report("message", skald::SDK::captureMessage(*text));
        } else if (command == "--error") {
            std::vector<skald::Error> chain;
            auto error = parseError(*text);
            if (!error) return fail("expected DOMAIN:CODE:TEXT", text->c_str());
            chain.push_back(*error);
            while (i + 2 < commands.size() && commands[i + 1] == "--underlying") {
                auto cause = parseError(commands[i + 2]);
                if (!cause) return fail("expected DOMAIN:CODE:TEXT", commands[i + 2].c_str());
                chain.push_back(*cause);
                i += 2;
            }
            captureErrorChain(std::move(chain));
        } else if (command == "--attachment") {
            const std::string* message = value();
            if (!message) return fail("missing text for", "--attachment");
            captureMessageWithAttachment(*text, *message);
        } else if (command == "--scope-file") {
            skald::SDK::configureScope(
                [&](skald::Scope& s) { s.addAttachment(skald::Attachment::fromPath(*text)); });
        } else if (command == "--scope-text") {
            if (!splitPair(*text, '=', key, rest)) return fail("expected NAME=TEXT", text->c_str());
            skald::SDK::configureScope([&](skald::Scope& s) {
                s.addAttachment(skald::Attachment::fromData(rest, key, "text/plain"));
            });
        } else if (command == "--lifecycle") {
            if (*text == "active") {
                skald::Lifecycle::didBecomeActive();
            } else if (*text == "resign") {
                skald::Lifecycle::willResignActive();
            } else if (*text == "background") {
                skald::Lifecycle::didEnterBackground();
            } else if (*text == "foreground") {
                skald::Lifecycle::willEnterForeground();
            } else if (*text == "terminate") {
                skald::Lifecycle::willTerminate();
            } else {
                return fail("unknown lifecycle event", text->c_str());
            }
        } else if (command == "--sleep") {
            std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(text->c_str())));
        } else if (command == "--transaction") {
            runTransaction(*text);
        } else if (command == "--metrics") {
            recordMetrics(std::atof(text->c_str()));
        } else if (command == "--metrics-flush") {
            skald::SDK::metrics()->flush();
        } else if (command == "--crashed-last-run") {
            std::printf("crashed last run: %s\n", skald::SDK::crashedLastRun() ? "yes" : "no");
        } else if (command == "--crash") {
            std::fflush(stdout);
            if (!crash(*text)) return fail("unknown crash kind", text->c_str());
        } else {
            return fail("unknown command", command.c_str());
        }
    }

    skald::SDK::flush(settings.flushSeconds);
    return 0;
}
