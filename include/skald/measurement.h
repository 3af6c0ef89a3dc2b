#pragma once

#include <optional>
#include <string>

#include "skald/json.h"

namespace skald {

/// The unit of a measurement: a name, one of the constants below or any
/// custom one.
class MeasurementUnit {
  public:
    explicit MeasurementUnit(std::string name) : name_(std::move(name)) {}
    const std::string& unit() const { return name_; }
    bool operator==(const MeasurementUnit& other) const = default;

    /// The empty unit name.
    static MeasurementUnit none() { return MeasurementUnit(""); }

    struct Duration {
        static MeasurementUnit nanosecond() { return MeasurementUnit("nanosecond"); }
        static MeasurementUnit microsecond() { return MeasurementUnit("microsecond"); }
        static MeasurementUnit millisecond() { return MeasurementUnit("millisecond"); }
        static MeasurementUnit second() { return MeasurementUnit("second"); }
        static MeasurementUnit minute() { return MeasurementUnit("minute"); }
        static MeasurementUnit hour() { return MeasurementUnit("hour"); }
        static MeasurementUnit day() { return MeasurementUnit("day"); }
        static MeasurementUnit week() { return MeasurementUnit("week"); }
    };
    struct Information {
        static MeasurementUnit bit() { return MeasurementUnit("bit"); }
        static MeasurementUnit byte() { return MeasurementUnit("byte"); }
        static MeasurementUnit kilobyte() { return MeasurementUnit("kilobyte"); }
        static MeasurementUnit kibibyte() { return MeasurementUnit("kibibyte"); }
        static MeasurementUnit megabyte() { return MeasurementUnit("megabyte"); }
        static MeasurementUnit mebibyte() { return MeasurementUnit("mebibyte"); }
        static MeasurementUnit gigabyte() { return MeasurementUnit("gigabyte"); }
        static MeasurementUnit gibibyte() { return MeasurementUnit("gibibyte"); }
        static MeasurementUnit terabyte() { return MeasurementUnit("terabyte"); }
        static MeasurementUnit tebibyte() { return MeasurementUnit("tebibyte"); }
        static MeasurementUnit petabyte() { return MeasurementUnit("petabyte"); }
        static MeasurementUnit pebibyte() { return MeasurementUnit("pebibyte"); }
        static MeasurementUnit exabyte() { return MeasurementUnit("exabyte"); }
        static MeasurementUnit exbibyte() { return MeasurementUnit("exbibyte"); }
    };
    struct Fraction {
        static MeasurementUnit ratio() { return MeasurementUnit("ratio"); }
        static MeasurementUnit percent() { return MeasurementUnit("percent"); }
    };

  private:
    std::string name_;
};

/// A number with an optional unit, as a transaction's measurement.
struct MeasurementValue {
    double value = 0;
    std::optional<MeasurementUnit> unit;

    /// {"value": number} or {"value": number, "unit": name}.
    Json serialize() const {
        Json json = Json::object();
        json["value"] = value;
        if (unit) json["unit"] = unit->unit();
        return json;
    }
};

}  // namespace skald
