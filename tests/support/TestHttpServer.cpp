#include "TestHttpServer.h"

#include <algorithm>
#include <cctype>
#include <tuple>

#include <fcntl.h>

std::string RecordedRequest::header(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

bool RecordedRequest::hasHeader(const std::string& name) const {
    return headers.find(name) != headers.end();
}

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
    auto streaming = [this](const httplib::Request& req, httplib::Response& res,
                            const httplib::ContentReader& reader) { route(req, res, &reader); };
    auto plain = [this](const httplib::Request& req, httplib::Response& res) {
        route(req, res, nullptr);
    };
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

std::string TestHttpServer::baseURL() const {
    return "http://127.0.0.1:" + std::to_string(m_port);
}

std::vector<RecordedRequest> TestHttpServer::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::size_t TestHttpServer::requestCount() const {
    std::lock_guard lock(m_mutex);
    return m_requests.size();
}

void TestHttpServer::route(const httplib::Request& req, httplib::Response& res,
                           const httplib::ContentReader* reader) {
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
        const std::string response =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
            "Content-Length: " +
            std::to_string(m_reply.size()) + "\r\n\r\n" + m_reply;
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

// --- RawHttpServer ---

namespace {

bool sameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// Splits "Name: value" lines (each ending in "\r\n") into fields.
std::vector<std::pair<std::string, std::string>> headerFields(const std::string& block) {
    std::vector<std::pair<std::string, std::string>> fields;
    std::size_t start = 0;
    while (start < block.size()) {
        auto end = block.find("\r\n", start);
        if (end == std::string::npos) {
            end = block.size();
        }
        const std::string line = block.substr(start, end - start);
        if (const auto colon = line.find(':'); colon != std::string::npos) {
            fields.emplace_back(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
        }
        start = end + 2;
    }
    return fields;
}

}  // namespace

std::optional<std::string> RawHttpServer::Request::header(const std::string& name) const {
    for (const auto& [field, value] : headers) {
        if (sameText(field, name)) {
            return value;
        }
    }
    return std::nullopt;
}

std::optional<std::string> RawHttpServer::Request::formField(const std::string& name) const {
    const std::string type = header("Content-Type").value_or("");
    const auto at = type.find("boundary=");
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const std::string delimiter = "--" + type.substr(at + 9);
    std::size_t partStart = body.find(delimiter);
    while (partStart != std::string::npos) {
        partStart += delimiter.size() + 2;  // past the delimiter's "\r\n"
        const auto headersEnd = body.find("\r\n\r\n", partStart);
        const auto next = body.find("\r\n" + delimiter, partStart);
        if (headersEnd == std::string::npos || next == std::string::npos || headersEnd > next) {
            return std::nullopt;
        }
        for (const auto& [field, value] :
             headerFields(body.substr(partStart, headersEnd - partStart))) {
            if (sameText(field, "Content-Disposition") &&
                value.find("name=\"" + name + "\"") != std::string::npos) {
                return body.substr(headersEnd + 4, next - headersEnd - 4);
            }
        }
        partStart = next + 2;
    }
    return std::nullopt;
}

RawHttpServer::RawHttpServer(Handler handler, std::optional<ReadPace> pace)
    : m_handler(std::move(handler)), m_pace(pace.value_or(ReadPace{})) {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (pace) {
        // Set before listening: accepted connections take it over, window scaling included.
        const int size = 16384;
        ::setsockopt(m_listener, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(m_listener, 16);
    socklen_t length = sizeof address;
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    (void)::pipe2(m_wake, O_CLOEXEC);
    m_acceptor = std::thread([this] { acceptLoop(); });
}

RawHttpServer::~RawHttpServer() {
    (void)::write(m_wake[1], "x", 1);
    m_acceptor.join();
    {
        // Wakes workers blocked in a read; each closes its own socket.
        std::lock_guard lock(m_mutex);
        for (const int fd : m_connections) {
            if (fd >= 0) {
                ::shutdown(fd, SHUT_RDWR);
            }
        }
    }
    for (auto& worker : m_workers) {
        worker.join();
    }
    ::close(m_listener);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

std::vector<RawHttpServer::Request> RawHttpServer::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::size_t RawHttpServer::connectionCount() const {
    std::lock_guard lock(m_mutex);
    return m_connections.size();
}

std::string RawHttpServer::reply(int status, const std::string& body,
                                 const std::string& extraHeaders) {
    return "HTTP/1.1 " + std::to_string(status) +
           " Reply\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders +
           "\r\n" + body;
}

void RawHttpServer::acceptLoop() {
    for (;;) {
        pollfd waiting[2] = {{m_listener, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(waiting, 2, -1) < 0 || waiting[1].revents != 0) {
            return;
        }
        const int connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            continue;
        }
        std::lock_guard lock(m_mutex);
        m_connections.push_back(connection);
        m_workers.emplace_back([this, slot = m_connections.size() - 1] { serve(slot); });
    }
}

bool RawHttpServer::pause(std::chrono::milliseconds duration) const {
    if (duration.count() <= 0) {
        return true;
    }
    pollfd wake{m_wake[0], POLLIN, 0};
    return ::poll(&wake, 1, static_cast<int>(duration.count())) == 0;
}

void RawHttpServer::serve(std::size_t slot) {
    int fd;
    {
        std::lock_guard lock(m_mutex);
        fd = m_connections[slot];
    }
    std::string buffer;
    char chunk[65536];
    std::size_t taken = 0;
    bool stalled = false;
    auto readMore = [&] {
        if (!stalled && taken >= m_pace.stallAt) {
            stalled = true;
            if (!pause(m_pace.stall)) {
                return false;
            }
        }
        if (!pause(m_pace.pause)) {
            return false;
        }
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, m_pace.bytes));
        if (n > 0) {
            buffer.append(chunk, static_cast<std::size_t>(n));
            taken += static_cast<std::size_t>(n);
        }
        return n > 0;
    };
    for (bool open = true; open;) {
        std::size_t headEnd;
        while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
            if (!readMore()) {
                open = false;
                break;
            }
        }
        if (!open) {
            break;
        }
        Request request;
        const std::string head = buffer.substr(0, headEnd + 2);
        const auto lineEnd = head.find("\r\n");
        const std::string requestLine = head.substr(0, lineEnd);
        const auto space = requestLine.find(' ');
        request.method = requestLine.substr(0, space);
        request.path = requestLine.substr(space + 1, requestLine.find(' ', space + 1) - space - 1);
        request.headers = headerFields(head.substr(lineEnd + 2));
        const std::size_t bodyLength = std::stoul(request.header("Content-Length").value_or("0"));
        while (buffer.size() < headEnd + 4 + bodyLength) {
            if (!readMore()) {
                open = false;
                break;
            }
        }
        if (!open) {
            break;
        }
        request.body = buffer.substr(headEnd + 4, bodyLength);
        buffer.erase(0, headEnd + 4 + bodyLength);
        {
            std::lock_guard lock(m_mutex);
            m_requests.push_back(request);
        }
        const auto answer = m_handler(request);
        if (!answer) {
            break;
        }
        // The client may hang up halfway through a reply it refuses to read on: no SIGPIPE.
        for (std::size_t sent = 0; sent < answer->size();) {
            const ssize_t n =
                ::send(fd, answer->data() + sent, answer->size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                open = false;
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
    }
    std::lock_guard lock(m_mutex);
    ::close(fd);
    m_connections[slot] = -1;
}
