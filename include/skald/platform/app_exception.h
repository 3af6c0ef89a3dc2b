#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "skald/json.h"

namespace skald::platform {

/// The application layer's exception: what the object runtime's exceptions
/// are on the desktop platform. It carries a name (its kind), a reason, user
/// info, and the return addresses of the call stack where it was made.
///
/// The application catches an `AppException` that escapes event handling or
/// a block it runs on the main loop and reports it (see `Application`), which
/// calls the uncaught-exception handler below. A crash reporter hooks that
/// handler. Other C++ exceptions are not caught there: they reach
/// `std::terminate`.
class AppException : public std::exception {
  public:
    /// Records the caller's stack (the constructor's own frame excluded).
    AppException(std::string name, std::string reason, Json userInfo = nullptr);

    /// Makes and throws one.
    [[noreturn]] static void raise(std::string name, std::string reason, Json userInfo = nullptr);

    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }
    const Json& userInfo() const { return userInfo_; }
    /// Innermost first.
    const std::vector<uintptr_t>& callStackReturnAddresses() const { return addresses_; }

    /// "<name>: <reason>".
    const char* what() const noexcept override { return what_.c_str(); }

  private:
    std::string name_;
    std::string reason_;
    Json userInfo_;
    std::vector<uintptr_t> addresses_;
    std::string what_;
};

/// A plain function so that it can be read without locking and chained:
/// whoever installs one keeps the previous one and calls it.
using UncaughtExceptionHandler = void (*)(const AppException& exception);

void setUncaughtExceptionHandler(UncaughtExceptionHandler handler);
UncaughtExceptionHandler uncaughtExceptionHandler();

}  // namespace skald::platform
