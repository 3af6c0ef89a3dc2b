#include "skald/user.h"

#include "util/dictionary.h"
#include "util/sanitize.h"

namespace skald {

User::User(std::string userId) {
    fields_.userId = std::move(userId);
}

User::User(const User& other) : fields_(other.deepCopy()) {}

User& User::operator=(const User& other) {
    if (this == &other) return *this;
    Fields copy = other.deepCopy();
    std::lock_guard guard(mutex_);
    fields_ = std::move(copy);
    return *this;
}

User::Fields User::deepCopy() const {
    std::lock_guard guard(mutex_);
    Fields copy = fields_;
    if (copy.geo) copy.geo = std::make_shared<Geo>(*copy.geo);
    return copy;
}

User User::fromDictionary(const Json& dictionary) {
    User user;
    if (!dictionary.is_object()) return user;
    Fields& fields = user.fields_;
    Json unknown = Json::object();
    for (const auto& [key, value] : dictionary.items()) {
        std::optional<std::string>* stringField = nullptr;
        if (key == "id") {
            stringField = &fields.userId;
        } else if (key == "email") {
            stringField = &fields.email;
        } else if (key == "username") {
            stringField = &fields.username;
        } else if (key == "ip_address") {
            stringField = &fields.ipAddress;
        } else if (key == "segment") {
            stringField = &fields.segment;
        }
        if (stringField && value.is_string()) {
            *stringField = value.get<std::string>();
        } else if (key == "data" && value.is_object()) {
            fields.data = value;
        } else {
            appendEntry(unknown, key, value);
        }
    }
    if (!unknown.empty()) fields.unknown = std::move(unknown);
    return user;
}

#define SKALD_USER_PROPERTY(Type, getter, setter) \
    Type User::getter() const {                   \
        std::lock_guard guard(mutex_);            \
        return fields_.getter;                    \
    }                                             \
    void User::setter(Type value) {               \
        std::lock_guard guard(mutex_);            \
        fields_.getter = std::move(value);        \
    }

SKALD_USER_PROPERTY(std::optional<std::string>, userId, setUserId)
SKALD_USER_PROPERTY(std::optional<std::string>, email, setEmail)
SKALD_USER_PROPERTY(std::optional<std::string>, username, setUsername)
SKALD_USER_PROPERTY(std::optional<std::string>, ipAddress, setIpAddress)
SKALD_USER_PROPERTY(std::optional<std::string>, segment, setSegment)
SKALD_USER_PROPERTY(std::optional<std::string>, name, setName)
SKALD_USER_PROPERTY(std::shared_ptr<Geo>, geo, setGeo)
SKALD_USER_PROPERTY(std::optional<Json>, data, setData)
SKALD_USER_PROPERTY(std::optional<Json>, unknown, setUnknown)

#undef SKALD_USER_PROPERTY

Json User::serialize() const {
    std::lock_guard guard(mutex_);
    Json result = objectWithCapacity(8 + (fields_.unknown ? fields_.unknown->size() : 0));
    appendIfSet(result, "id", fields_.userId);
    appendIfSet(result, "email", fields_.email);
    appendIfSet(result, "username", fields_.username);
    appendIfSet(result, "ip_address", fields_.ipAddress);
    appendIfSet(result, "segment", fields_.segment);
    appendIfSet(result, "name", fields_.name);
    if (fields_.geo) appendEntry(result, "geo", fields_.geo->serialize());
    if (auto sanitized = sanitizeDictionary(fields_.data)) {
        appendEntry(result, "data", std::move(*sanitized));
    }
    if (fields_.unknown) assignEntries(*fields_.unknown, result);
    return result;
}

bool User::operator==(const User& other) const {
    if (this == &other) return true;
    // One lock at a time: two users compared from two threads in opposite
    // order must not wait on each other.
    Fields theirs;
    {
        std::lock_guard guard(other.mutex_);
        theirs = other.fields_;
    }
    std::lock_guard guard(mutex_);
    const Fields& a = fields_;
    const Fields& b = theirs;
    const bool sameGeo = (!a.geo || !b.geo) ? (!a.geo && !b.geo) : *a.geo == *b.geo;
    return a.userId == b.userId && a.email == b.email && a.username == b.username &&
           a.ipAddress == b.ipAddress && a.segment == b.segment && a.name == b.name && sameGeo &&
           jsonEquals(a.data, b.data) && jsonEquals(a.unknown, b.unknown);
}

}  // namespace skald
