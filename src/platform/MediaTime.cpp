#include "MediaTime.h"

#include <cmath>
#include <numeric>

namespace platform {

namespace {
// Brings two times onto one scale without losing precision when the common multiple fits.
std::int32_t commonScale(std::int32_t a, std::int32_t b) {
    const std::int64_t lcm = std::lcm<std::int64_t, std::int64_t>(a, b);
    return lcm <= INT32_MAX ? static_cast<std::int32_t>(lcm) : std::max(a, b);
}
}  // namespace

double MediaTime::seconds() const {
    return isValid() ? static_cast<double>(value) / static_cast<double>(timescale) : std::nan("");
}

MediaTime MediaTime::convertScale(std::int32_t scale) const {
    if (!isValid() || scale <= 0) {
        return invalid();
    }
    if (scale == timescale) {
        return *this;
    }
    if (scale % timescale == 0) {
        return {value * (scale / timescale), scale};
    }
    const long double exact = static_cast<long double>(value) * scale / timescale;
    return {static_cast<std::int64_t>(std::llround(exact)), scale};
}

MediaTime MediaTime::operator+(const MediaTime& other) const {
    if (!isValid() || !other.isValid()) {
        return invalid();
    }
    const auto scale = commonScale(timescale, other.timescale);
    return {convertScale(scale).value + other.convertScale(scale).value, scale};
}

MediaTime MediaTime::operator-(const MediaTime& other) const {
    if (!isValid() || !other.isValid()) {
        return invalid();
    }
    const auto scale = commonScale(timescale, other.timescale);
    return {convertScale(scale).value - other.convertScale(scale).value, scale};
}

bool MediaTime::operator==(const MediaTime& other) const {
    if (!isValid() || !other.isValid()) {
        return isValid() == other.isValid();
    }
    return (*this <=> other) == std::partial_ordering::equivalent;
}

std::partial_ordering MediaTime::operator<=>(const MediaTime& other) const {
    if (!isValid() || !other.isValid()) {
        return std::partial_ordering::unordered;
    }
    // Cross-multiplication in 128 bits is exact for every pair of valid times.
    __extension__ using Wide = __int128;
    const Wide left = static_cast<Wide>(value) * other.timescale;
    const Wide right = static_cast<Wide>(other.value) * timescale;
    return left <=> right;
}

}  // namespace platform
