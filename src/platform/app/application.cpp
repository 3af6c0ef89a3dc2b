#include "skald/app/application.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "platform/app/gtk_frontend.h"
#include "platform/app/scripted_frontend.h"
#include "platform/app/terminal_frontend.h"
#include "skald/platform/main_queue.h"

namespace skald::app {

using platform::MainQueue;
using platform::NotificationCenter;

namespace {

std::atomic<Application*> gShared{nullptr};

bool environmentSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

}  // namespace

std::optional<FrontendKind> parseFrontendKind(std::string_view name) {
    if (name == "terminal") return FrontendKind::Terminal;
    if (name == "gtk") return FrontendKind::Gtk;
    if (name == "auto") return FrontendKind::Auto;
    if (name == "scripted") return FrontendKind::Scripted;
    return std::nullopt;
}

FrontendKind frontendKindFromArguments(int argc, const char* const* argv, FrontendKind fallback) {
    constexpr std::string_view kOption = "--frontend";
    std::optional<std::string_view> value;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const std::string_view argument = argv[i];
        if (argument == kOption) {
            // A missing value counts as an unknown name, not as no option.
            value = (i + 1 < argc && argv[i + 1] != nullptr) ? std::string_view(argv[++i]) : "";
        } else if (argument.size() > kOption.size() && argument.starts_with(kOption) &&
                   argument[kOption.size()] == '=') {
            value = argument.substr(kOption.size() + 1);
        }
    }
    if (!value) return fallback;
    if (auto kind = parseFrontendKind(*value)) return *kind;
    std::fprintf(stderr, "Unknown frontend \"%.*s\"; using the terminal.\n",
                 static_cast<int>(value->size()), value->data());
    return FrontendKind::Terminal;
}

std::shared_ptr<Frontend> makeFrontend(FrontendKind kind) {
    switch (kind) {
        case FrontendKind::Scripted:
            return std::make_shared<ScriptedFrontend>();
        case FrontendKind::Gtk:
        case FrontendKind::Auto: {
            if (kind == FrontendKind::Auto && !environmentSet("DISPLAY") &&
                !environmentSet("WAYLAND_DISPLAY")) {
                break;
            }
            if (auto gtk = GtkFrontend::create()) return gtk;
            if (kind == FrontendKind::Gtk) {
                std::fprintf(stderr, "Cannot open a display for the window; using the terminal.\n");
            }
            break;
        }
        case FrontendKind::Terminal:
            break;
    }
    return std::make_shared<TerminalFrontend>();
}

Application::Application(FrontendKind frontend) : Application(makeFrontend(frontend)) {}

Application::Application(std::shared_ptr<Frontend> frontend)
    : frontend_(frontend ? std::move(frontend) : std::make_shared<TerminalFrontend>()),
      mainWindow_(std::make_unique<Window>()),
      alive_(std::make_shared<std::atomic<bool>>(true)) {
    Application* expected = nullptr;
    if (!gShared.compare_exchange_strong(expected, this)) {
        // Two applications would fight over the main loop and the window.
        std::fprintf(stderr, "An application already exists in this process.\n");
        std::abort();
    }
}

Application::~Application() {
    alive_->store(false);
    if (running_.load()) MainQueue::unregisterLoop();
    gShared.store(nullptr);
}

Application* Application::shared() {
    return gShared.load();
}

int Application::run(ApplicationDelegate& delegate) {
    if (!MainQueue::isMainThread() || running_.load()) return -1;
    if (quit_.load()) return exitCode_.load();  // terminated before it ran
    delegate_ = &delegate;
    running_.store(true);
    frontend_->start(*this);

    MainQueue::registerLoop([weak = std::weak_ptr(alive_), this](Block block) {
        if (auto alive = weak.lock(); alive && alive->load()) post(std::move(block));
    });
    // The launch runs before any queued block, also those that other threads
    // queued for the main queue before the loop existed.
    launch();
    frontend_->loop().runUntil([this] { return quit_.load(); });
    MainQueue::unregisterLoop();

    running_.store(false);
    delegate_ = nullptr;
    return exitCode_.load();
}

void Application::launch() {
    invoke([&] { mainWindow_->load(); });
    if (terminating_.load()) return;
    invoke([&] { mainWindow_->show(frontend_.get()); });

    const Notification launched{platform::kApplicationDidFinishLaunchingNotification, this,
                                nullptr};
    invoke([&] { delegate_->applicationDidFinishLaunching(launched); });
    if (terminating_.load()) return;
    invoke([&] { NotificationCenter::defaultCenter().postNotification(launched); });
    if (terminating_.load()) return;
    becomeActive();
}

void Application::becomeActive() {
    if (active_.load() || terminating_.load() || !delegate_) return;
    enterForeground();
    if (terminating_.load()) return;
    active_.store(true);
    const Notification notification{platform::kApplicationDidBecomeActiveNotification, this,
                                    nullptr};
    invoke([&] { delegate_->applicationDidBecomeActive(notification); });
    // A delegate that terminated has already resigned; observers must not
    // hear of an activation after that.
    if (terminating_.load()) return;
    invoke([&] { NotificationCenter::defaultCenter().postNotification(notification); });
}

void Application::resignActive() {
    if (!active_.load() || !delegate_) return;
    active_.store(false);
    const bool wasTerminating = terminating_.load();
    const Notification notification{platform::kApplicationWillResignActiveNotification, this,
                                    nullptr};
    invoke([&] { delegate_->applicationWillResignActive(notification); });
    // The delegate terminated: will-terminate has gone out already.
    if (!wasTerminating && terminating_.load()) return;
    invoke([&] { NotificationCenter::defaultCenter().postNotification(notification); });
    if (!wasTerminating && terminating_.load()) return;
    enterBackground();
}

void Application::enterBackground() {
    if (background_.exchange(true)) return;
    const bool wasTerminating = terminating_.load();
    const Notification notification{platform::kApplicationDidEnterBackgroundNotification, this,
                                    nullptr};
    invoke([&] { delegate_->applicationDidEnterBackground(notification); });
    if (!wasTerminating && terminating_.load()) return;
    invoke([&] { NotificationCenter::defaultCenter().postNotification(notification); });
}

void Application::enterForeground() {
    if (!background_.load()) return;
    background_.store(false);
    const Notification notification{platform::kApplicationWillEnterForegroundNotification, this,
                                    nullptr};
    invoke([&] { delegate_->applicationWillEnterForeground(notification); });
    if (terminating_.load()) return;
    invoke([&] { NotificationCenter::defaultCenter().postNotification(notification); });
}

void Application::terminate() {
    terminateWithExitCode(0);
}

void Application::terminateWithExitCode(int exitCode) {
    if (!running_.load()) {
        // Before run: run returns at once.
        if (!quit_.exchange(true)) exitCode_.store(exitCode);
        return;
    }
    if (!MainQueue::isMainThread()) {
        post([this, exitCode] { terminateWithExitCode(exitCode); });
        return;
    }
    if (terminating_.exchange(true)) return;
    exitCode_.store(exitCode);

    resignActive();
    const Notification notification{platform::kApplicationWillTerminateNotification, this, nullptr};
    invoke([&] { delegate_->applicationWillTerminate(notification); });
    invoke([&] { NotificationCenter::defaultCenter().postNotification(notification); });

    mainWindow_->show(nullptr);
    frontend_->stop();
    quit_.store(true);
    // Ends the outer run and every nested one (modal alerts) once the
    // current block returns.
    frontend_->loop().wake();
}

void Application::frontendDidBecomeActive() {
    becomeActive();
}

void Application::frontendWillResignActive() {
    resignActive();
}

void Application::frontendRequestsTermination(int exitCode) {
    terminateWithExitCode(exitCode);
}

std::shared_ptr<platform::Timer> Application::scheduleTimer(Duration interval, bool repeats,
                                                            Block block) {
    return frontend_->loop().scheduleTimer(interval, repeats, guarded(std::move(block)));
}

void Application::dispatchAfter(Duration delay, Block block) {
    if (delay <= Duration::zero()) {
        post(std::move(block));
        return;
    }
    scheduleTimer(delay, false, std::move(block));
}

ModalResponse Application::runModal(AlertRequest request) {
    if (!MainQueue::isMainThread() || !running_.load() || terminating_.load()) {
        return kModalResponseAbort;
    }
    request.sheet = false;
    struct Answer {
        bool given = false;
        ModalResponse response = kModalResponseAbort;
    };
    auto answer = std::make_shared<Answer>();
    // The frontend answers on the main thread, inside the nested run below.
    frontend_->presentAlert(request, [answer](ModalResponse response) {
        answer->given = true;
        answer->response = response;
    });
    frontend_->loop().runUntil([&] { return answer->given || quit_.load(); });
    return answer->given ? answer->response : kModalResponseAbort;
}

void Application::beginSheet(AlertRequest request, std::function<void(ModalResponse)> completion) {
    if (terminating_.load()) return;
    if (!MainQueue::isMainThread() || !running_.load()) {
        post([this, request = std::move(request), completion = std::move(completion)]() mutable {
            beginSheet(std::move(request), std::move(completion));
        });
        return;
    }
    request.sheet = true;
    if (!request.window) request.window = mainWindow_.get();
    frontend_->presentAlert(request,
                            [this, completion = std::move(completion)](ModalResponse response) {
                                // Host code runs as a block of its own, never inside the frontend's
                                // event handling.
                                if (completion)
                                    post([completion, response] { completion(response); });
                            });
}

void Application::reportException(const AppException& exception) {
    std::fprintf(stderr, "*** Uncaught exception '%s', reason: '%s'\n", exception.name().c_str(),
                 exception.reason().c_str());
    std::fflush(stderr);
    if (auto handler = platform::uncaughtExceptionHandler()) handler(exception);
}

void Application::crashOnException(const AppException&) {
    frontend_->prepareForAbort();
    std::abort();
}

void Application::handleUncaughtException(const AppException& exception) {
    reportException(exception);
    if (crashOnExceptions_.load()) crashOnException(exception);
    switch (exceptionAction_.load()) {
        case UncaughtExceptionAction::Abort:
            frontend_->prepareForAbort();
            std::abort();
        case UncaughtExceptionAction::Terminate:
            terminateWithExitCode(1);
            break;
        case UncaughtExceptionAction::Continue:
            break;
    }
}

void Application::invoke(const Block& block) {
    try {
        block();
    } catch (const AppException& exception) {
        handleUncaughtException(exception);
    } catch (...) {
        // Inside the handler the exception is still the current one, so a
        // terminate handler can still see what it was.
        std::terminate();
    }
}

void Application::post(Block block) {
    frontend_->loop().post(guarded(std::move(block)));
}

Block Application::guarded(Block block) {
    return [this, weak = std::weak_ptr(alive_), block = std::move(block)] {
        auto alive = weak.lock();
        if (!alive || !alive->load()) return;
        invoke(block);
    };
}

}  // namespace skald::app
