#pragma once

#include <expected>
#include <string>

namespace app {

// Where the two remote services live: scheme://host[:port], from the environment
// (KORVANE_WEB_URL, KORVANE_RECORDING_API_URL), defaulting to the bundled stand-in services.
struct AppConfiguration {
    std::string webBaseURL = "http://127.0.0.1:8080";
    std::string recordingApiBaseURL = "http://127.0.0.1:8080";

    static std::expected<AppConfiguration, std::string> fromEnvironment();
    // A base address as given, without a trailing "/"; an error names what is wrong.
    static std::expected<std::string, std::string> checkedBaseURL(const std::string& variable,
                                                                  const std::string& value);
};

}  // namespace app
