#include "TestHttpServer.h"

#include <algorithm>
#include <tuple>

std::string RecordedRequest::header(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

bool RecordedRequest::hasHeader(const std::string& name) const { return headers.find(name) != headers.end(); }

std::vector<std::string> RecordedRequest::partNames() const {
    std::vector<std::string> names;
    for (const auto& p : parts) {
        names.push_back(p.name);
    }
    return names;
}

std::optional<std::string> RecordedRequest::part(const std::string& name) const {
    for (const auto& p : parts) {
        if (p.name == name) {
            return p.content;
        }
    }
    return std::nullopt;
}

TestHttpServer::TestHttpServer() {
    auto streaming = [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
        route(req, res, &reader);
    };
    auto plain = [this](const httplib::Request& req, httplib::Response& res) { route(req, res, nullptr); };
    m_server.Post(".*", streaming);
    m_server.Get(".*", plain);
    m_port = m_server.bind_to_any_port("127.0.0.1");
    // One request per connection: a kept-alive connection would hold stop() for seconds.
    m_server.set_keep_alive_max_count(1);
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    // stop() before the loop runs would be lost and leave the thread listening forever.
    while (!m_server.is_running()) {
        std::this_thread::yield();
    }
}

TestHttpServer::~TestHttpServer() {
    m_server.stop();
    m_thread.join();
}

void TestHttpServer::on(const std::string& method, const std::string& path, Handler handler) {
    std::lock_guard lock(m_mutex);
    m_handlers.emplace_back(method, path, std::move(handler));
}

std::string TestHttpServer::baseURL() const { return "http://127.0.0.1:" + std::to_string(m_port); }

std::vector<RecordedRequest> TestHttpServer::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::size_t TestHttpServer::requestCount() const {
    std::lock_guard lock(m_mutex);
    return m_requests.size();
}

void TestHttpServer::route(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader* reader) {
    RecordedRequest recorded{req.method, req.path, req.headers, {}, {}};
    if (reader) {
        if (req.is_multipart_form_data()) {
            (*reader)(
                [&](const httplib::MultipartFormData& file) {
                    recorded.parts.push_back({file.name, {}, file.filename, file.content_type});
                    return true;
                },
                [&](const char* data, size_t length) {
                    recorded.parts.back().content.append(data, length);
                    return true;
                });
        } else {
            (*reader)([&](const char* data, size_t length) {
                recorded.body.append(data, length);
                return true;
            });
        }
    }
    Handler handler;
    {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(recorded);
        for (const auto& [method, path, h] : m_handlers) {
            if (method == req.method && path == req.path) {
                handler = h;
            }
        }
    }
    if (handler) {
        handler(recorded, res);
    } else {
        res.status = 404;
    }
}

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

RawHttpCapture::RawHttpCapture(std::string reply) : m_reply(std::move(reply)) {
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(m_listener, 1);
    socklen_t length = sizeof address;
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] {
        pollfd waiting{m_listener, POLLIN, 0};
        if (::poll(&waiting, 1, 10'000) <= 0) {
            return;
        }
        const int connection = ::accept(m_listener, nullptr, nullptr);
        char buffer[4096];
        for (;;) {
            const auto headerEnd = m_request.find("\r\n\r\n");
            if (headerEnd != std::string::npos) {
                const auto lengthAt = m_request.find("Content-Length: ");
                const std::size_t bodyLength =
                    lengthAt == std::string::npos ? 0 : std::stoul(m_request.substr(lengthAt + 16));
                if (m_request.size() >= headerEnd + 4 + bodyLength) {
                    break;
                }
            }
            const ssize_t n = ::read(connection, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            m_request.append(buffer, static_cast<std::size_t>(n));
        }
        const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
                                     "Content-Length: " + std::to_string(m_reply.size()) + "\r\n\r\n" + m_reply;
        (void)::write(connection, response.data(), response.size());
        ::close(connection);
    });
}

RawHttpCapture::~RawHttpCapture() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
    ::close(m_listener);
}

std::string RawHttpCapture::request() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
    return m_request;
}
