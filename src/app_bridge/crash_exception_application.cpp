#include "skald/app/crash_exception_application.h"

#include <chrono>
#include <cstdlib>

#include "platform/process/process_exit.h"
#include "skald/exception_object.h"
#include "skald/sdk.h"

namespace skald::app {

namespace {
constexpr std::chrono::milliseconds kStoreLimit{700};
}  // namespace

void CrashExceptionApplication::reportException(const AppException& exception) {
    setCrashOnExceptions(true);
    // The base calls the uncaught-exception handler, which is the crash
    // reporter's while its monitor is on: calling it here too would report
    // the exception twice.
    Application::reportException(exception);
}

void CrashExceptionApplication::crashOnException(const AppException& exception) {
    ExceptionObject object;
    object.name = exception.name();
    object.reason = exception.reason();
    if (exception.userInfo().is_object()) object.userInfo = exception.userInfo();
    SDK::captureException(object);
    // Storing runs on the SDK's queue, and abort runs no exit handler: the
    // event would be lost without the wait.
    platform::ProcessExit::drain(kStoreLimit);
    Application::crashOnException(exception);
}

}  // namespace skald::app
