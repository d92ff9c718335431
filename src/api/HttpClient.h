#pragma once

#include "AnyError.h"
#include "Json.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace api {

// CR and LF end a header line and NUL ends the C string libcurl copies: a value holding one
// would add header lines of its own to the request (libcurl passes them through) or be cut short.
bool isSendableHeaderValue(std::string_view value);

// Header fields in the order they were set; names compare without regard to case.
class HttpHeaders {
  public:
    HttpHeaders() = default;
    HttpHeaders(std::initializer_list<std::pair<std::string, std::string>> fields);

    // Replaces an existing field of the same name, else appends.
    void set(const std::string& name, const std::string& value);
    void add(const std::string& name, const std::string& value);
    std::optional<std::string> value(const std::string& name) const;
    bool empty() const { return m_fields.empty(); }
    const std::vector<std::pair<std::string, std::string>>& fields() const { return m_fields; }
    // The name of the first field that cannot go out as one header line as it is: its name is
    // empty or holds a separator, or its value holds CR, LF or NUL.
    std::optional<std::string> unsendableField() const;

    // A bracketed list of "name": "value" pairs, "[:]" when empty. Values of the names in
    // `redacted` print as "<redacted>".
    std::string describe(const std::vector<std::string>& redacted = {}) const;

  private:
    std::vector<std::pair<std::string, std::string>> m_fields;
};

struct MultipartPart {
    std::string name;
    Bytes data;
    std::optional<std::string> fileName;
    std::optional<std::string> mimeType;
};

struct HttpRequest {
    // What the application allows a transfer that stands still.
    static constexpr std::chrono::milliseconds defaultIdleTimeout{60'000};

    std::string method = "GET";
    std::string url;
    HttpHeaders headers;
    std::optional<Bytes> body;
    std::vector<MultipartPart> multipart;  // when not empty, the body is multipart/form-data
    // The transfer fails once nothing has moved for this long: no byte sent or received, nor
    // acknowledged by the peer, connecting included. A slow transfer that keeps moving is never
    // cut short, however long it takes; a reply the server is slow to begin counts as no progress.
    std::chrono::milliseconds idleTimeout = defaultIdleTimeout;
    // A bound on the whole request, for a caller that cannot wait longer whatever the progress.
    std::optional<std::chrono::milliseconds> timeout;
};

struct HttpResponse {
    std::string url;             // the request's URL
    HttpHeaders requestHeaders;  // the fields this request set
    std::optional<int> status;   // absent when no HTTP reply arrived
    HttpHeaders headers;
    std::optional<Bytes> body;  // absent when the reply had no body
    std::optional<AnyError> transportError;
    // Body bytes (after decompression) the client held for this reply when it ended: at most
    // HttpClient::maxBodySize, also for a reply that was cut off for being longer.
    std::size_t receivedBodyBytes = 0;
};

// The one HTTP client of the process: transfers run concurrently on one network thread
// (libcurl's multi interface); completions are called on that thread.
class HttpClient {
  public:
    using Completion = std::function<void(HttpResponse)>;

    // No reply of the web API or the recording API comes near this. A longer body, counted
    // after decompression, ends the transfer at once as a transport failure: a small gzip
    // reply could otherwise unpack into gigabytes.
    static constexpr std::size_t maxBodySize = 1'048'576;

    HttpClient();
    // Transfers still running complete with a transport error.
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    static std::shared_ptr<HttpClient> shared();

    // Stops the network thread: transfers still running complete with a transport error and
    // later ones fail at once. Whoever waits on a reply is released, so the application's end
    // never waits for a slow server. Idempotent; call it from one thread.
    void shutdown();

    void send(HttpRequest request, Completion completion);
    // Blocks until the reply; never call it on the network thread (from a completion).
    HttpResponse sendAndWait(HttpRequest request);

  private:
    struct Transfer;
    void run();

    std::mutex m_mutex;
    std::deque<std::unique_ptr<Transfer>> m_pending;
    bool m_stopping = false;
    void* m_multi = nullptr;
    std::thread m_thread;
};

}  // namespace api
