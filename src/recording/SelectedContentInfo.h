#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace recording {

// A plain description of what the trader chose to record.
struct SelectedContentInfo {
    enum class Kind { window, display, unknown };

    Kind kind = Kind::unknown;
    std::optional<std::string> name;              // window title (windows only)
    std::optional<std::string> bundleIdentifier;  // owning application (windows only)
    std::optional<std::uint32_t> windowID;        // windows only
    std::optional<std::uint32_t> displayID;       // displays only

    bool operator==(const SelectedContentInfo&) const = default;

    static std::string rawValue(Kind kind);
    static std::optional<Kind> kindFromRaw(const std::string& raw);
};

}  // namespace recording
