#include "SelectedContentInfo.h"

namespace recording {

std::string SelectedContentInfo::rawValue(Kind kind) {
    switch (kind) {
        case Kind::window:
            return "window";
        case Kind::display:
            return "display";
        case Kind::unknown:
            break;
    }
    return "unknown";
}

std::optional<SelectedContentInfo::Kind> SelectedContentInfo::kindFromRaw(const std::string& raw) {
    for (const auto kind : {Kind::window, Kind::display, Kind::unknown}) {
        if (rawValue(kind) == raw) {
            return kind;
        }
    }
    return std::nullopt;
}

}  // namespace recording
