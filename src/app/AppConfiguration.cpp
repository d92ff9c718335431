#include "AppConfiguration.h"

#include <QUrl>

#include <cstdlib>

namespace app {

std::expected<std::string, std::string> AppConfiguration::checkedBaseURL(
    const std::string& variable, const std::string& value) {
    std::string base = value;
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    const QUrl url(QString::fromStdString(base), QUrl::StrictMode);
    const bool web =
        url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
    if (!url.isValid() || !web || url.host().isEmpty()) {
        return std::unexpected(
            variable + " must be an http or https address such as https://host:port, not \"" +
            value + "\"");
    }
    return base;
}

std::expected<AppConfiguration, std::string> AppConfiguration::fromEnvironment() {
    AppConfiguration configuration;
    for (auto [variable, field] :
         {std::pair{"KORVANE_WEB_URL", &configuration.webBaseURL},
          std::pair{"KORVANE_RECORDING_API_URL", &configuration.recordingApiBaseURL}}) {
        if (const char* value = std::getenv(variable); value && *value) {
            auto checked = checkedBaseURL(variable, value);
            if (!checked) {
                return std::unexpected(checked.error());
            }
            *field = *checked;
        }
    }
    return configuration;
}

}  // namespace app
