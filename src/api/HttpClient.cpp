#include "HttpClient.h"

#include <curl/curl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <future>
#include <map>

namespace api {

namespace {

bool sameName(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

std::string trim(std::string text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// Transport failures read as the platform's URL-loading texts, which users know.
AnyError transportError(CURLcode code, const char* detail) {
    long urlCode = -1;
    std::string text;
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            urlCode = -1001;
            text = "The request timed out.";
            break;
        case CURLE_COULDNT_RESOLVE_HOST:
            urlCode = -1003;
            text = "A server with the specified hostname could not be found.";
            break;
        case CURLE_COULDNT_CONNECT:
            urlCode = -1004;
            text = "Could not connect to the server.";
            break;
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
            urlCode = -1005;
            text = "The network connection was lost.";
            break;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
            urlCode = -1200;
            text =
                "An SSL error has occurred and a secure connection to the server cannot be made.";
            break;
        case CURLE_FILESIZE_EXCEEDED:
            urlCode = -1103;
            text = "The resource exceeds the maximum size.";
            break;
        case CURLE_ABORTED_BY_CALLBACK:
            urlCode = -999;
            text = "cancelled";
            break;
        default:
            text = curl_easy_strerror(code);
            break;
    }
    std::string debug = std::string("curl: ") + curl_easy_strerror(code);
    if (detail && *detail) {
        debug += std::string(" (") + detail + ")";
    }
    return {"URLError", urlCode, text, debug};
}

// Methods HTTP defines as idempotent: sending one twice does no more than sending it once.
bool mayResend(const std::string& method) {
    return method == "GET" || method == "HEAD" || method == "OPTIONS" || method == "PUT" ||
           method == "DELETE";
}

// What shows a transfer is alive: the bytes libcurl has sent and received, and below it the
// bytes the peer acknowledged and sent. The kernel takes a whole chunk into its send buffer long
// before a slow link has carried it, so libcurl's own counts stand still while the upload moves.
struct ProgressMarks {
    curl_off_t uploaded = 0;
    curl_off_t downloaded = 0;
    std::uint64_t acknowledged = 0;
    std::uint64_t received = 0;
    bool operator==(const ProgressMarks&) const = default;
};

ProgressMarks progressMarks(curl_socket_t socket, curl_off_t uploaded, curl_off_t downloaded) {
    ProgressMarks marks{uploaded, downloaded};
    tcp_info info{};
    socklen_t length = sizeof info;
    if (socket != CURL_SOCKET_BAD &&
        ::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
        length >= offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
        marks.acknowledged = info.tcpi_bytes_acked;
        marks.received = info.tcpi_bytes_received;
    }
    return marks;
}

long localPort(curl_socket_t socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    }
    return -1;
}

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

// --- HttpHeaders ---

bool isSendableHeaderValue(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::optional<std::string> HttpHeaders::unsendableField() const {
    for (const auto& [name, value] : m_fields) {
        const bool nameIsToken = !name.empty() && name.find_first_of(std::string_view(
                                                      ":;\r\n\0 \t", 7)) == std::string::npos;
        if (!nameIsToken || !isSendableHeaderValue(value)) {
            return name;
        }
    }
    return std::nullopt;
}

HttpHeaders::HttpHeaders(std::initializer_list<std::pair<std::string, std::string>> fields) {
    for (const auto& [name, value] : fields) {
        set(name, value);
    }
}

void HttpHeaders::set(const std::string& name, const std::string& value) {
    for (auto& field : m_fields) {
        if (sameName(field.first, name)) {
            field.second = value;
            return;
        }
    }
    m_fields.emplace_back(name, value);
}

void HttpHeaders::add(const std::string& name, const std::string& value) {
    m_fields.emplace_back(name, value);
}

std::optional<std::string> HttpHeaders::value(const std::string& name) const {
    for (const auto& field : m_fields) {
        if (sameName(field.first, name)) {
            return field.second;
        }
    }
    return std::nullopt;
}

std::string HttpHeaders::describe(const std::vector<std::string>& redacted) const {
    if (m_fields.empty()) {
        return "[:]";
    }
    std::string text = "[";
    for (std::size_t i = 0; i < m_fields.size(); ++i) {
        const auto& [name, value] = m_fields[i];
        const bool hide = std::any_of(redacted.begin(), redacted.end(),
                                      [&](const std::string& r) { return sameName(r, name); });
        text += (i ? ", \"" : "\"") + name + "\": \"" + (hide ? "<redacted>" : value) + "\"";
    }
    return text + "]";
}

// --- HttpClient ---

struct HttpClient::Transfer {
    HttpRequest request;
    Completion completion;
    HttpResponse response;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    curl_mime* mime = nullptr;
    Bytes received;
    bool bodyTooLarge = false;
    bool idleTooLong = false;
    std::vector<curl_socket_t> sockets;
    ProgressMarks lastMarks;
    std::chrono::steady_clock::time_point lastProgress;
    char errorText[CURL_ERROR_SIZE] = {};

    ~Transfer() {
        if (mime) {
            curl_mime_free(mime);
        }
        if (headerList) {
            curl_slist_free_all(headerList);
        }
        if (easy) {
            curl_easy_cleanup(easy);
        }
    }

    static size_t onBody(char* data, size_t size, size_t count, void* self) {
        auto* transfer = static_cast<Transfer*>(self);
        const size_t length = size * count;
        if (length > maxBodySize - transfer->received.size()) {
            // Returning short makes libcurl drop the connection without reading on.
            transfer->bodyTooLarge = true;
            return 0;
        }
        transfer->received.append(data, length);
        return length;
    }

    // libcurl calls this at least once a second while the transfer runs, moving or not.
    static int onProgress(void* self, curl_off_t, curl_off_t downloaded, curl_off_t,
                          curl_off_t uploaded) {
        auto* transfer = static_cast<Transfer*>(self);
        const ProgressMarks marks =
            progressMarks(transfer->connectionSocket(), uploaded, downloaded);
        const auto now = std::chrono::steady_clock::now();
        if (marks != transfer->lastMarks) {
            transfer->lastMarks = marks;
            transfer->lastProgress = now;
            return 0;
        }
        transfer->idleTooLong = now - transfer->lastProgress >= transfer->request.idleTimeout;
        return transfer->idleTooLong ? 1 : 0;
    }

    // Every socket libcurl opens for this transfer; the one it connected on is found by its
    // local port, since a losing connection attempt's descriptor may be closed and reused.
    static int onSocket(void* self, curl_socket_t socket, curlsocktype purpose) {
        if (purpose == CURLSOCKTYPE_IPCXN) {
            static_cast<Transfer*>(self)->sockets.push_back(socket);
        }
        return CURL_SOCKOPT_OK;
    }

    // CURL_SOCKET_BAD before the connection is made, and on a reused connection (then libcurl's
    // own counts alone tell progress).
    curl_socket_t connectionSocket() const {
        long port = 0;
        if (curl_easy_getinfo(easy, CURLINFO_LOCAL_PORT, &port) != CURLE_OK || port <= 0) {
            return CURL_SOCKET_BAD;
        }
        for (auto it = sockets.rbegin(); it != sockets.rend(); ++it) {
            if (localPort(*it) == port) {
                return *it;
            }
        }
        return CURL_SOCKET_BAD;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* self) {
        auto* transfer = static_cast<Transfer*>(self);
        const std::string line(data, size * count);
        if (line.rfind("HTTP/", 0) == 0) {
            // A new status line (after "100 Continue" or a redirect): start over.
            transfer->response.headers = HttpHeaders();
        } else if (const auto colon = line.find(':'); colon != std::string::npos) {
            transfer->response.headers.add(trim(line.substr(0, colon)),
                                           trim(line.substr(colon + 1)));
        }
        return size * count;
    }

    void prepare() {
        easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        setBounds();
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(easy, CURLOPT_USERAGENT, "Korvane/0.1");
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");

        for (const auto& [name, value] : request.headers.fields()) {
            // "Name;" sends a header with an empty value; "Name:" would remove it.
            const std::string line = value.empty() ? name + ";" : name + ": " + value;
            headerList = curl_slist_append(headerList, line.c_str());
        }
        // Large bodies would otherwise wait for "100 Continue" before being sent.
        headerList = curl_slist_append(headerList, "Expect:");
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);

        if (!request.multipart.empty()) {
            mime = curl_mime_init(easy);
            for (const auto& part : request.multipart) {
                curl_mimepart* field = curl_mime_addpart(mime);
                curl_mime_name(field, part.name.c_str());
                curl_mime_data(field, part.data.data(), part.data.size());
                if (part.fileName) {
                    curl_mime_filename(field, part.fileName->c_str());
                }
                if (part.mimeType) {
                    curl_mime_type(field, part.mimeType->c_str());
                }
            }
            curl_easy_setopt(easy, CURLOPT_MIMEPOST, mime);
        } else if (request.body) {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(request.body->size()));
            curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, request.body->c_str());
        } else if (request.method != "GET" && request.method != "HEAD") {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, 0L);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
        }
        if (!mayResend(request.method)) {
            // libcurl silently repeats a request whose reused connection died before any reply
            // byte came. The server may well have acted on it by then (an upload chunk stored
            // twice), so such requests go out on a connection of their own and leave none
            // behind for a later request to reuse.
            curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
            curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
        }
        if (request.method == "HEAD") {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else if (request.method != "GET" && request.method != "POST") {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }
        response.url = request.url;
        response.requestHeaders = request.headers;
    }

    void setBounds() {
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(request.idleTimeout.count()));
        if (request.timeout) {
            curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout->count()));
        }
        lastProgress = std::chrono::steady_clock::now();
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &Transfer::onSocket);
        curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, this);
    }

    // How long the network thread may sleep: until the first of these transfers has gone its
    // whole idle bound without progress, so a stall fails at its bound rather than a poll later.
    static int pollTimeout(const std::map<CURL*, std::unique_ptr<Transfer>>& active) {
        auto wait = std::chrono::milliseconds(1000);
        const auto now = std::chrono::steady_clock::now();
        for (const auto& [easy, transfer] : active) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                transfer->lastProgress + transfer->request.idleTimeout - now);
            // One already past its bound ends in this turn's perform: no reason to spin.
            if (left.count() > 0) {
                wait = std::min(wait, left);
            }
        }
        return static_cast<int>(wait.count());
    }

    // Completes without a transfer: a header that cannot be sent as it is is not sent at all,
    // neither cleaned into another value nor left to end its line early.
    void refuse(const std::string& field) {
        response.url = request.url;
        response.requestHeaders = request.headers;
        response.transportError = AnyError::unsendableHeader(field);
        completion(std::move(response));
    }

    void finish(CURLcode result) {
        response.receivedBodyBytes = received.size();
        if (idleTooLong && result == CURLE_ABORTED_BY_CALLBACK) {
            result = CURLE_OPERATION_TIMEDOUT;
            std::snprintf(errorText, sizeof errorText, "nothing moved for %lld ms",
                          static_cast<long long>(request.idleTimeout.count()));
        }
        if (bodyTooLarge && result == CURLE_WRITE_ERROR) {
            result = CURLE_FILESIZE_EXCEEDED;
            std::snprintf(errorText, sizeof errorText, "reply body longer than %zu bytes",
                          maxBodySize);
        }
        if (result == CURLE_OK) {
            long status = 0;
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
            response.status = static_cast<int>(status);
            if (!received.empty()) {
                response.body = std::move(received);
            }
        } else {
            response.headers = HttpHeaders();
            response.transportError = transportError(result, errorText);
        }
        completion(std::move(response));
    }
};

HttpClient::HttpClient() {
    globalInit();
    m_multi = curl_multi_init();
    m_thread = std::thread(&HttpClient::run, this);
}

HttpClient::~HttpClient() {
    shutdown();
    curl_multi_cleanup(static_cast<CURLM*>(m_multi));
}

void HttpClient::shutdown() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    curl_multi_wakeup(static_cast<CURLM*>(m_multi));
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

std::shared_ptr<HttpClient> HttpClient::shared() {
    static auto client = std::make_shared<HttpClient>();
    return client;
}

void HttpClient::send(HttpRequest request, Completion completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->completion = std::move(completion);
    {
        std::lock_guard lock(m_mutex);
        if (!m_stopping) {
            m_pending.push_back(std::move(transfer));
        }
    }
    if (transfer) {
        // Completed outside the lock: a completion may well send again.
        transfer->prepare();
        transfer->finish(CURLE_ABORTED_BY_CALLBACK);
        return;
    }
    curl_multi_wakeup(static_cast<CURLM*>(m_multi));
}

HttpResponse HttpClient::sendAndWait(HttpRequest request) {
    std::promise<HttpResponse> promise;
    auto future = promise.get_future();
    send(std::move(request),
         [&promise](HttpResponse response) { promise.set_value(std::move(response)); });
    return future.get();
}

void HttpClient::run() {
    auto* multi = static_cast<CURLM*>(m_multi);
    std::map<CURL*, std::unique_ptr<Transfer>> active;
    for (;;) {
        std::deque<std::unique_ptr<Transfer>> incoming;
        bool stopping = false;
        {
            std::lock_guard lock(m_mutex);
            incoming.swap(m_pending);
            stopping = m_stopping;
        }
        for (auto& transfer : incoming) {
            if (const auto field = transfer->request.headers.unsendableField()) {
                transfer->refuse(*field);
                continue;
            }
            transfer->prepare();
            curl_multi_add_handle(multi, transfer->easy);
            active.emplace(transfer->easy, std::move(transfer));
        }
        if (stopping) {
            break;
        }
        int running = 0;
        curl_multi_perform(multi, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            const auto it = active.find(message->easy_handle);
            const CURLcode result = message->data.result;
            curl_multi_remove_handle(multi, message->easy_handle);
            if (it != active.end()) {
                auto transfer = std::move(it->second);
                active.erase(it);
                transfer->finish(result);
            }
        }
        curl_multi_poll(multi, nullptr, 0, Transfer::pollTimeout(active), nullptr);
    }
    for (auto& [easy, transfer] : active) {
        curl_multi_remove_handle(multi, easy);
        transfer->finish(CURLE_ABORTED_BY_CALLBACK);
    }
}

}  // namespace api
