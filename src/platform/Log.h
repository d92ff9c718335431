#pragma once

#include <functional>
#include <string_view>

namespace platform {

// Plain log lines on standard output: one write per message, ending in a newline.
void logLine(std::string_view message);

// Redirects log lines (tests); an empty function restores standard output.
void setLogSink(std::function<void(std::string_view)> sink);

}  // namespace platform
