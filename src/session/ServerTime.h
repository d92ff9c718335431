#pragma once

#include "HttpClient.h"
#include "Json.h"

#include <chrono>
#include <expected>
#include <functional>
#include <optional>
#include <string>

namespace session {

// The recording API's answer to the health request: its current time, kept as it came.
struct CurrentDateTimeResponse {
    std::string currentDateTime;

    static std::expected<CurrentDateTimeResponse, api::AnyError> decode(const api::Json& json);
};

// Where the server's time waits for the upload, which sends it with every chunk.
inline constexpr const char* currentDateTimeKey = "current_date_time";

// The recording waits for this answer before it starts, with the timer showing 00:00: a server
// that hangs must not hold it for the client's usual minute.
inline constexpr std::chrono::milliseconds healthRequestTimeout{5'000};

// GET <base>/api/v1/health/ with no headers of our own (no cookie); nullopt when the base
// address does not make a URL.
std::optional<api::HttpRequest> healthRequest(
    const std::string& recordingApiBaseURL,
    std::chrono::milliseconds timeout = healthRequestTimeout);

// The server's time from a reply: status 200 to 299 and a body with "currentDateTime".
std::optional<std::string> serverTimeFrom(const api::HttpResponse& response);

// fetchServerTime: asks the recording API for its time. `finished` runs on the main thread once
// the request is over, with the time, or nullopt for any failure (no URL, no connection, a
// timeout, another status, a body without the field): none of them is worth more than starting
// the recording without it.
void fetchServerTime(api::HttpClient& client, const std::string& recordingApiBaseURL,
                     std::function<void(std::optional<std::string>)> finished,
                     std::chrono::milliseconds timeout = healthRequestTimeout);

}  // namespace session
