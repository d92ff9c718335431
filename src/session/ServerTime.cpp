#include "ServerTime.h"

#include "platform/MainQueue.h"

#include <QString>
#include <QUrl>

namespace session {

std::expected<CurrentDateTimeResponse, api::AnyError> CurrentDateTimeResponse::decode(
    const api::Json& json) {
    if (auto object = api::requireObject(json, "CurrentDateTimeResponse"); !object) {
        return std::unexpected(object.error());
    }
    auto time = api::requiredString(json, "currentDateTime");
    if (!time) {
        return std::unexpected(time.error());
    }
    return CurrentDateTimeResponse{std::move(*time)};
}

std::optional<api::HttpRequest> healthRequest(const std::string& recordingApiBaseURL,
                                              std::chrono::milliseconds timeout) {
    std::string base = recordingApiBaseURL;
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    const std::string address = base + "/api/v1/health/";
    const QUrl url(QString::fromStdString(address), QUrl::StrictMode);
    if (base.empty() || !url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()) {
        return std::nullopt;
    }
    api::HttpRequest request;
    request.method = "GET";
    request.url = address;
    request.timeout = timeout;
    return request;
}

std::optional<std::string> serverTimeFrom(const api::HttpResponse& response) {
    if (response.transportError || !response.status || *response.status < 200 ||
        *response.status > 299 || !response.body ||
        api::nestsDeeperThan(*response.body, api::maxJsonDepth)) {
        return std::nullopt;
    }
    const api::Json json = api::Json::parse(*response.body, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded()) {
        return std::nullopt;
    }
    auto decoded = CurrentDateTimeResponse::decode(json);
    if (!decoded) {
        return std::nullopt;
    }
    return std::move(decoded->currentDateTime);
}

void fetchServerTime(api::HttpClient& client, const std::string& recordingApiBaseURL,
                     std::function<void(std::optional<std::string>)> finished,
                     std::chrono::milliseconds timeout) {
    auto request = healthRequest(recordingApiBaseURL, timeout);
    if (!request) {
        // Still from the queue: callers get their answer the same way whatever went wrong.
        platform::MainQueue::post([finished = std::move(finished)] { finished(std::nullopt); });
        return;
    }
    client.send(std::move(*request), [finished = std::move(finished)](api::HttpResponse response) {
        // Decoded here on the network thread; only the result goes to the main thread.
        platform::MainQueue::post(
            [finished, time = serverTimeFrom(response)]() mutable { finished(std::move(time)); });
    });
}

}  // namespace session
