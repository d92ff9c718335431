#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Rectangles in the desktop's own coordinates: origin top-left of the root window, y down.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const Rect&) const = default;
};

struct ShareableDisplay {
    std::uint32_t displayID = 0;  // the RandR output id
    std::string name;             // the output's name ("HDMI-1", "screen")
    Rect frame;
    bool operator==(const ShareableDisplay&) const = default;
};

struct ShareableWindow {
    std::uint32_t windowID = 0;                // the X window (the client window, not its frame)
    std::optional<std::string> title;          // _NET_WM_NAME, else WM_NAME
    std::optional<std::string> applicationID;  // the class part of WM_CLASS
    Rect frame;                                // in root coordinates
    bool operator==(const ShareableWindow&) const = default;
};

// What to capture: the picker's answer.
struct ContentFilter {
    std::vector<ShareableWindow> includedWindows;
    std::vector<ShareableDisplay> includedDisplays;
    // The captured area's size in points (the window's or the display's bounds).
    Rect contentRect;
};

// The window server's view of the desktop. Korvane's own windows are never listed.
class WindowServer {
  public:
    virtual ~WindowServer() = default;
    virtual std::vector<ShareableDisplay> displays() const = 0;
    // On-screen (mapped, viewable) top-level windows, front to back.
    virtual std::vector<ShareableWindow> windows() const = 0;
    virtual std::optional<Rect> windowBounds(std::uint32_t windowID) const = 0;
    virtual std::optional<Rect> displayBounds(std::uint32_t displayID) const = 0;
    // Frames of all screens (for placement rules that need every screen).
    virtual std::vector<Rect> screenFrames() const = 0;
};

}  // namespace platform
