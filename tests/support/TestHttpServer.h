#pragma once

// A real HTTP server on loopback for the client's tests: each test installs the handlers it
// needs; every request is recorded with its multipart parts in the order they arrived.
#include <httplib.h>

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct RecordedPart {
    std::string name;
    std::string content;
    std::string fileName;
    std::string contentType;
};

struct RecordedRequest {
    std::string method;
    std::string path;
    httplib::Headers headers;
    std::string body;
    std::vector<RecordedPart> parts;

    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
    std::vector<std::string> partNames() const;
    std::optional<std::string> part(const std::string& name) const;
};

class TestHttpServer {
public:
    // Receives the recorded request (already stored) and fills the response.
    using Handler = std::function<void(const RecordedRequest&, httplib::Response&)>;

    TestHttpServer();
    ~TestHttpServer();

    void on(const std::string& method, const std::string& path, Handler handler);
    std::string baseURL() const;
    int port() const { return m_port; }
    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount() const;

private:
    void route(const httplib::Request& request, httplib::Response& response,
               const httplib::ContentReader* reader);

    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<RecordedRequest> m_requests;
    std::vector<std::tuple<std::string, std::string, Handler>> m_handlers;
};

// Accepts one connection, keeps the request exactly as it came over the wire and answers with
// a fixed reply. For what a parsing server would hide (an empty header value, say).
class RawHttpCapture {
public:
    explicit RawHttpCapture(std::string reply);
    ~RawHttpCapture();
    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    // Waits for the request (at most 10 s).
    std::string request();

private:
    int m_listener = -1;
    int m_port = 0;
    std::string m_reply;
    std::string m_request;
    std::thread m_thread;
};
