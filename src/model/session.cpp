#include "skald/session.h"

#include "util/current_date_provider.h"
#include "util/dictionary.h"
#include "util/iso8601.h"
#include "util/json_bytes.h"

namespace skald {

namespace {

Date now() {
    return currentDate();
}

double secondsBetween(Date from, Date to) {
    return std::chrono::duration<double>(to - from).count();
}

const Json* member(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> stringMember(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::optional<Date> dateMember(const Json& object, const char* key) {
    const auto text = stringMember(object, key);
    if (!text) return std::nullopt;
    return parseIso8601Timestamp(*text);
}

std::optional<uint64_t> unsignedMember(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value) return std::nullopt;
    return unsignedIntegerFromJson(*value);
}

}  // namespace

const char* nameForSessionStatus(SessionStatus status) {
    switch (status) {
        case SessionStatus::Exited:
            return "exited";
        case SessionStatus::Crashed:
            return "crashed";
        case SessionStatus::Abnormal:
            return "abnormal";
        default:
            return "ok";
    }
}

std::optional<SessionStatus> sessionStatusForName(std::string_view name) {
    if (name == "ok") return SessionStatus::Ok;
    if (name == "exited") return SessionStatus::Exited;
    if (name == "crashed") return SessionStatus::Crashed;
    if (name == "abnormal") return SessionStatus::Abnormal;
    return std::nullopt;
}

Session::Session(std::string distinctId) : started_(now()), distinctId_(std::move(distinctId)) {}

Session::Session(std::optional<std::string> releaseName, std::string distinctId)
    : Session(std::move(distinctId)) {
    flagInit_ = true;
    releaseName_ = std::move(releaseName);
}

Session::Session(const Session& other) {
    std::lock_guard guard(other.mutex_);
    flagInit_ = other.flagInit_;
    sessionId_ = other.sessionId_;
    started_ = other.started_;
    status_ = other.status_;
    errors_ = other.errors_;
    sequence_ = other.sequence_;
    distinctId_ = other.distinctId_;
    timestamp_ = other.timestamp_;
    duration_ = other.duration_;
    releaseName_ = other.releaseName_;
    environment_ = other.environment_;
    if (other.user_) user_ = std::make_shared<User>(*other.user_);
}

std::shared_ptr<Session> Session::fromJson(const Json& json) {
    if (!json.is_object()) return nullptr;
    const auto sid = stringMember(json, "sid");
    const auto sessionId = sid ? Id::parse(*sid) : std::nullopt;
    const auto started = dateMember(json, "started");
    const auto statusName = stringMember(json, "status");
    const auto status = statusName ? sessionStatusForName(*statusName) : std::nullopt;
    const auto sequence = unsignedMember(json, "seq");
    const auto errors = unsignedMember(json, "errors");
    auto distinctId = stringMember(json, "did");
    if (!sessionId || !started || !status || !sequence || !errors || !distinctId) return nullptr;

    auto session = std::shared_ptr<Session>(new Session(FromJsonTag{}));
    session->sessionId_ = *sessionId;
    session->started_ = *started;
    session->status_ = *status;
    session->sequence_ = *sequence;
    session->errors_ = *errors;
    session->distinctId_ = std::move(*distinctId);

    if (const Json* init = member(json, "init")) {
        if (init->is_boolean()) session->flagInit_ = init->get<bool>();
        if (init->is_number()) session->flagInit_ = init->get<double>() != 0;
    }
    if (const Json* attrs = member(json, "attrs"); attrs && attrs->is_object()) {
        session->releaseName_ = stringMember(*attrs, "release");
        session->environment_ = stringMember(*attrs, "environment");
    }
    session->timestamp_ = dateMember(json, "timestamp");
    if (const Json* duration = member(json, "duration"); duration && duration->is_number()) {
        session->duration_ = duration->get<double>();
    }
    return session;
}

void Session::changed() {
    flagInit_.reset();
    ++sequence_;
}

void Session::end(SessionStatus status, Date timestamp) {
    std::lock_guard guard(mutex_);
    changed();
    status_ = status;
    timestamp_ = timestamp;
    duration_ = secondsBetween(started_, timestamp);
}

void Session::endSessionExited(Date timestamp) {
    end(SessionStatus::Exited, timestamp);
}

void Session::endSessionCrashed(Date timestamp) {
    end(SessionStatus::Crashed, timestamp);
}

void Session::endSessionAbnormal(Date timestamp) {
    end(SessionStatus::Abnormal, timestamp);
}

void Session::incrementErrors() {
    std::lock_guard guard(mutex_);
    changed();
    ++errors_;
}

void Session::setFlagInit() {
    std::lock_guard guard(mutex_);
    flagInit_ = true;
}

Json Session::serialize() const {
    std::lock_guard guard(mutex_);
    const bool isInit = flagInit_.value_or(false);
    Json result = objectWithCapacity(10);
    appendEntry(result, "sid", sessionId_.uuidString());
    appendEntry(result, "errors", errors_);
    appendEntry(result, "started", formatIso8601Timestamp(started_));
    if (isInit) appendEntry(result, "init", true);
    appendEntry(result, "status", nameForSessionStatus(status_));
    appendEntry(result, "timestamp", formatIso8601Timestamp(timestamp_ ? *timestamp_ : now()));
    if (duration_) {
        appendEntry(result, "duration", *duration_);
    } else if (!isInit) {
        appendEntry(result, "duration", timestamp_ ? secondsBetween(started_, *timestamp_) : 0.0);
    }
    appendEntry(result, "seq", sequence_);
    if (releaseName_ || environment_) {
        Json attrs = objectWithCapacity(2);
        appendIfSet(attrs, "release", releaseName_);
        appendIfSet(attrs, "environment", environment_);
        appendEntry(result, "attrs", std::move(attrs));
    }
    appendEntry(result, "did", distinctId_);
    return result;
}

std::optional<bool> Session::flagInit() const {
    std::lock_guard guard(mutex_);
    return flagInit_;
}

Id Session::sessionId() const {
    std::lock_guard guard(mutex_);
    return sessionId_;
}

Date Session::started() const {
    std::lock_guard guard(mutex_);
    return started_;
}

SessionStatus Session::status() const {
    std::lock_guard guard(mutex_);
    return status_;
}

uint64_t Session::errors() const {
    std::lock_guard guard(mutex_);
    return errors_;
}

uint64_t Session::sequence() const {
    std::lock_guard guard(mutex_);
    return sequence_;
}

std::string Session::distinctId() const {
    std::lock_guard guard(mutex_);
    return distinctId_;
}

std::optional<Date> Session::timestamp() const {
    std::lock_guard guard(mutex_);
    return timestamp_;
}

std::optional<double> Session::duration() const {
    std::lock_guard guard(mutex_);
    return duration_;
}

std::optional<std::string> Session::releaseName() const {
    std::lock_guard guard(mutex_);
    return releaseName_;
}

std::optional<std::string> Session::environment() const {
    std::lock_guard guard(mutex_);
    return environment_;
}

void Session::setEnvironment(std::optional<std::string> environment) {
    std::lock_guard guard(mutex_);
    environment_ = std::move(environment);
}

std::shared_ptr<User> Session::user() const {
    std::lock_guard guard(mutex_);
    return user_ ? std::make_shared<User>(*user_) : nullptr;
}

void Session::setUser(const std::shared_ptr<User>& user) {
    auto copy = user ? std::make_shared<User>(*user) : nullptr;
    std::lock_guard guard(mutex_);
    user_ = std::move(copy);
    changed();
}

}  // namespace skald
