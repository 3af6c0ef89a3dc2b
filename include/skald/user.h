#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "skald/geo.h"
#include "skald/json.h"

namespace skald {

/// The user an event concerns. Every property may be read and written from
/// several threads at once.
class User {
  public:
    User() = default;
    explicit User(std::string userId);
    /// Copies every property; geo, data and unknown are copied, not shared.
    User(const User& other);
    User& operator=(const User& other);

    /// Takes "id", "email", "username", "ip_address" and "segment" when they
    /// are strings and "data" when it is an object; every other entry, and a
    /// known key with a value of the wrong type, is kept in `unknown`.
    static User fromDictionary(const Json& dictionary);

    std::optional<std::string> userId() const;
    void setUserId(std::optional<std::string> value);
    std::optional<std::string> email() const;
    void setEmail(std::optional<std::string> value);
    std::optional<std::string> username() const;
    void setUsername(std::optional<std::string> value);
    std::optional<std::string> ipAddress() const;
    void setIpAddress(std::optional<std::string> value);
    std::optional<std::string> segment() const;
    void setSegment(std::optional<std::string> value);
    std::optional<std::string> name() const;
    void setName(std::optional<std::string> value);
    std::shared_ptr<Geo> geo() const;
    void setGeo(std::shared_ptr<Geo> value);
    std::optional<Json> data() const;
    void setData(std::optional<Json> value);
    /// Entries written at the top level after the known keys, replacing them.
    std::optional<Json> unknown() const;
    void setUnknown(std::optional<Json> value);

    Json serialize() const;

    bool operator==(const User& other) const;

  private:
    struct Fields {
        std::optional<std::string> userId;
        std::optional<std::string> email;
        std::optional<std::string> username;
        std::optional<std::string> ipAddress;
        std::optional<std::string> segment;
        std::optional<std::string> name;
        std::shared_ptr<Geo> geo;
        std::optional<Json> data;
        std::optional<Json> unknown;
    };

    /// A copy of every property, with its own geo.
    Fields deepCopy() const;

    mutable std::mutex mutex_;
    Fields fields_;
};

}  // namespace skald
