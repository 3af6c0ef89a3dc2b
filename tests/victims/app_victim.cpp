// An application on the scripted frontend that starts the SDK when it has
// finished launching and, once active, plays the focus changes its command
// line names before it crashes: the tests read the crash report and the crash
// state it leaves behind.
//
//   skald-app-victim <cache-dir> STEP...
//   STEP: wait=MILLISECONDS | lose-focus | regain-focus | crash | raise | quit
//
// "raise" lets an application-layer exception escape a main-loop block. The
// SDK gets the DSN in SKALD_DSN, if any.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/app/scripted_frontend.h"
#include "skald/app/crash_exception_application.h"
#include "skald/sdk.h"

namespace {

using skald::app::Application;
using skald::app::CrashExceptionApplication;
using skald::app::ScriptedFrontend;

__attribute__((noinline)) void crashNow() {
    volatile int* volatile nothing = nullptr;  // opaque: the store must stay
    *nothing = 1;
}

class VictimDelegate : public skald::app::ApplicationDelegate {
  public:
    VictimDelegate(Application& application, std::shared_ptr<ScriptedFrontend> frontend,
                   std::string cacheDirectory, std::vector<std::string> steps)
        : application_(application),
          frontend_(std::move(frontend)),
          cacheDirectory_(std::move(cacheDirectory)),
          steps_(std::move(steps)) {}

    void applicationDidFinishLaunching(const skald::platform::Notification&) override {
        // No DSN: nothing is sent, crash handling runs all the same.
        skald::SDK::startWithConfigureOptions([this](skald::Options& options) {
            options.cacheDirectoryPath = cacheDirectory_;
            if (const char* dsn = std::getenv("SKALD_DSN")) options.setDsn(dsn);
            options.debug = std::getenv("SKALD_DEBUG") != nullptr;
        });
    }

    void applicationDidBecomeActive(const skald::platform::Notification&) override {
        if (started_) return;
        started_ = true;
        // After the crash reporter heard of the activation too.
        application_.dispatchAfter(std::chrono::milliseconds(0), [this] { runStep(0); });
    }

  private:
    void runStep(size_t index) {
        if (index >= steps_.size()) return;
        const std::string& step = steps_[index];
        const auto next = [this, index](int delayMillis) {
            application_.dispatchAfter(std::chrono::milliseconds(delayMillis),
                                       [this, index] { runStep(index + 1); });
        };
        if (step.rfind("wait=", 0) == 0) {
            next(std::atoi(step.c_str() + 5));
        } else if (step == "lose-focus") {
            frontend_->loseFocus();
            next(0);
        } else if (step == "regain-focus") {
            frontend_->regainFocus();
            next(0);
        } else if (step == "crash") {
            crashNow();
        } else if (step == "raise") {
            skald::platform::AppException::raise("VictimFailure", "raised on purpose",
                                                 {{"step", index}});
        } else if (step == "quit") {
            application_.terminate();
        } else {
            std::fprintf(stderr, "unknown step \"%s\"\n", step.c_str());
            application_.terminate();
        }
    }

    Application& application_;
    std::shared_ptr<ScriptedFrontend> frontend_;
    std::string cacheDirectory_;
    std::vector<std::string> steps_;
    bool started_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: skald-app-victim <cache-dir> STEP...\n"
                     "STEP: wait=MILLISECONDS | lose-focus | regain-focus | crash | raise | "
                     "quit\n");
        return 2;
    }
    auto frontend = std::make_shared<ScriptedFrontend>();
    CrashExceptionApplication application(frontend);
    VictimDelegate delegate(application, frontend, argv[1],
                            std::vector<std::string>(argv + 2, argv + argc));
    const int code = application.run(delegate);
    std::fflush(nullptr);
    // Straight out: the test only needs what the crash reporter wrote.
    std::_Exit(code);
}
