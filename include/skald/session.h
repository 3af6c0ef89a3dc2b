#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "skald/date.h"
#include "skald/id.h"
#include "skald/json.h"
#include "skald/user.h"

namespace skald {

/// How a session stands or ended.
enum class SessionStatus : uint32_t {
    Ok = 0,
    Exited = 1,
    Crashed = 2,
    Abnormal = 3,
};

/// "ok", "exited", "crashed" or "abnormal"; "ok" for any other value.
const char* nameForSessionStatus(SessionStatus status);
/// The status of one of the four names; nothing for any other text.
std::optional<SessionStatus> sessionStatusForName(std::string_view name);

/// One period of application use. Every read, change and `serialize` runs
/// under the session's own lock, so a session may be shared between threads.
class Session {
  public:
    /// A new session: random id, started now, status ok, sequence 1, the init
    /// flag set.
    Session(std::optional<std::string> releaseName, std::string distinctId);
    /// As above with only the distinct id, and without the init flag.
    explicit Session(std::string distinctId);
    /// Copies every field, the init flag included; the user is copied too.
    Session(const Session& other);
    Session& operator=(const Session&) = delete;

    /// Reads the JSON form. Needs "sid" (an id text), "started" (a date text),
    /// "status" (one of the four names), "seq", "errors" (non-negative
    /// integers) and "did" (a string); gives nullptr when one is missing or of
    /// the wrong type. "init", "attrs", "timestamp" and "duration" are read
    /// when present and of the right type.
    static std::shared_ptr<Session> fromJson(const Json& json);

    void endSessionExited(Date timestamp);
    void endSessionCrashed(Date timestamp);
    void endSessionAbnormal(Date timestamp);
    void incrementErrors();
    void setFlagInit();

    /// Keys in the order "sid", "errors", "started", "init", "status",
    /// "timestamp", "duration", "seq", "attrs", "did".
    Json serialize() const;

    std::optional<bool> flagInit() const;
    Id sessionId() const;
    Date started() const;
    SessionStatus status() const;
    uint64_t errors() const;
    uint64_t sequence() const;
    std::string distinctId() const;
    std::optional<Date> timestamp() const;
    std::optional<double> duration() const;
    std::optional<std::string> releaseName() const;
    std::optional<std::string> environment() const;
    void setEnvironment(std::optional<std::string> environment);
    /// A copy of the session's user.
    std::shared_ptr<User> user() const;
    /// Stores a copy; counts as a change of the session.
    void setUser(const std::shared_ptr<User>& user);

  private:
    struct FromJsonTag {};
    explicit Session(FromJsonTag) {}

    // Callers hold mutex_.
    void changed();
    void end(SessionStatus status, Date timestamp);

    mutable std::mutex mutex_;
    std::optional<bool> flagInit_;
    Id sessionId_;
    Date started_;
    SessionStatus status_ = SessionStatus::Ok;
    uint64_t errors_ = 0;
    uint64_t sequence_ = 1;
    std::string distinctId_;
    std::optional<Date> timestamp_;
    std::optional<double> duration_;
    std::optional<std::string> releaseName_;
    std::optional<std::string> environment_;
    std::shared_ptr<User> user_;
};

}  // namespace skald
