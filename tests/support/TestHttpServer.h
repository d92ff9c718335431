#pragma once

// A real HTTP server on loopback for the client's tests: each test installs the handlers it
// needs; every request is recorded with its multipart parts in the order they arrived.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
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

// A bare HTTP/1.1 server on loopback that leaves every byte of a reply to the test: for replies
// no well-behaved server library would send (a gzip bomb, a connection dropped after a request
// was read). Each connection is served until either side closes it; requests must carry a
// Content-Length, as the client's always do.
class RawHttpServer {
  public:
    struct Request {
        std::string method;
        std::string path;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;

        std::optional<std::string> header(const std::string& name) const;
        // The content of a multipart/form-data part by its name.
        std::optional<std::string> formField(const std::string& name) const;
    };
    // The bytes to write back, or nullopt to close the connection without answering.
    using Handler = std::function<std::optional<std::string>(const Request&)>;

    // How a slow server takes in what a connection sends: at most `bytes` per read, each after a
    // pause of `pause`; once `stallAt` bytes have come in, no read for `stall`. Its receive
    // buffer is kept small, so the sender sees the pace on the wire, as over a slow link, rather
    // than the kernel taking a whole upload in at once.
    struct ReadPace {
        std::size_t bytes = 65536;
        std::chrono::milliseconds pause{0};
        std::size_t stallAt = SIZE_MAX;
        std::chrono::milliseconds stall{0};
    };

    explicit RawHttpServer(Handler handler, std::optional<ReadPace> pace = std::nullopt);
    ~RawHttpServer();
    RawHttpServer(const RawHttpServer&) = delete;
    RawHttpServer& operator=(const RawHttpServer&) = delete;

    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    std::vector<Request> requests() const;
    std::size_t connectionCount() const;

    // A whole reply with its Content-Length that leaves the connection open. `extraHeaders` are
    // complete lines, each ending in "\r\n".
    static std::string reply(int status, const std::string& body,
                             const std::string& extraHeaders = "");

  private:
    void acceptLoop();
    void serve(std::size_t slot);
    // Waits for `duration`; false when the server is being destroyed meanwhile.
    bool pause(std::chrono::milliseconds duration) const;

    Handler m_handler;
    ReadPace m_pace;
    int m_listener = -1;
    int m_wake[2] = {-1, -1};
    int m_port = 0;
    std::thread m_acceptor;
    mutable std::mutex m_mutex;
    std::vector<int> m_connections;  // -1 once closed
    std::vector<std::thread> m_workers;
    std::vector<Request> m_requests;
};
