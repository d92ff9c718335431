#pragma once

#include <compare>
#include <cstdint>

namespace platform {

// A rational time: value / timescale seconds. Sums of times with different scales are exact
// (they meet on a common scale); a timescale of 0 marks an invalid time.
struct MediaTime {
    std::int64_t value = 0;
    std::int32_t timescale = 0;

    constexpr MediaTime() = default;
    constexpr MediaTime(std::int64_t v, std::int32_t scale) : value(v), timescale(scale) {}

    static constexpr MediaTime invalid() { return {}; }
    constexpr bool isValid() const { return timescale > 0; }
    double seconds() const;

    // The same instant on another scale, rounded to the nearest tick.
    MediaTime convertScale(std::int32_t scale) const;

    MediaTime operator+(const MediaTime& other) const;
    MediaTime operator-(const MediaTime& other) const;
    bool operator==(const MediaTime& other) const;
    std::partial_ordering operator<=>(const MediaTime& other) const;
};

}  // namespace platform
