#include "DevServer.h"

#include <httplib.h>

#include <strings.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include <sys/socket.h>

#include "Pages.h"
#include "UploadForm.h"

namespace devserver {
namespace {

using json = nlohmann::json;
// Wall-clock expiries: they are saved, and must still mean the same moment after a restart.
using Clock = std::chrono::system_clock;

constexpr int kSessionSeconds = 3600;
// Every open connection holds a worker until it closes, an idle one until httplib's keep-alive
// timeout (5 s). A browser keeps several open per page and every test opens its own, so a pool
// the size of the processor count left requests waiting behind connections that said nothing.
constexpr std::size_t kWorkers = 64;
constexpr const char* kUserId = "1";

std::string dump(const json& doc) {
    // Client-supplied text may be invalid UTF-8; replacing beats throwing.
    return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

// What the observer hears of the request this server thread is answering, gathered by the
// handlers: httplib runs them and the observer for one request on the same thread, its Request
// has no room for the parts, and the body it hands over may be compressed by then.
struct Answer {
    std::vector<ObservedPart> parts;
    std::string body;
};
thread_local Answer answer;

constexpr std::size_t kObservedValueBytes = 1024;

void setContent(httplib::Response& res, std::string body, const char* type) {
    answer.body = body;
    res.set_content(std::move(body), type);
}

void sendJson(httplib::Response& res, int status, const json& doc) {
    res.status = status;
    setContent(res, dump(doc), "application/json");
}

void sendError(httplib::Response& res, int status, const std::string& message) {
    sendJson(res, status,
             {{"status", status},
              {"message", message},
              {"error", json::array({json{{"message", message}}})}});
}

std::string utcNowIso() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm t{};
    gmtime_r(&secs, &t);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                  static_cast<int>(ms % 1000));
    return buf;
}

// The page's cookie item is taken from the raw target: a client may leave the '=' inside
// "sessionid=..." unescaped, which httplib's own query parsing would split apart.
std::string queryCookie(const std::string& target) {
    const auto q = target.find('?');
    if (q == std::string::npos) {
        return {};
    }
    std::string_view rest = std::string_view(target).substr(q + 1);
    while (!rest.empty()) {
        const auto amp = rest.find('&');
        const auto item = rest.substr(0, amp);
        if (item.starts_with("cookie=")) {
            return httplib::detail::decode_url(std::string(item.substr(7)), true);
        }
        rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
    }
    return {};
}

struct Upload {
    std::string filename;
    std::uint64_t totalChunks = 1;
    std::uint64_t nextChunk = 0;
};

// Replaces path whole or not at all: a server stopped mid-write leaves the previous file.
std::expected<void, std::string> writeAtomically(const std::filesystem::path& path,
                                                 const std::string& text) {
    auto temp = path;
    temp += ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temp, ignored);
            return std::unexpected("cannot write " + temp.string());
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        return std::unexpected("cannot replace " + path.string() + ": " + ec.message());
    }
    return {};
}

}  // namespace

std::optional<std::string> ObservedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

struct DevServer::Impl {
    Config config;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    std::atomic<bool> listenReturned{false};
    int port = 0;

    mutable std::mutex mutex;
    std::mt19937_64 rng{std::random_device{}()};
    // Both kept in the data folder's state file, so a stored sign-in and the trade-log pages of
    // earlier uploads outlive a restart.
    std::map<std::string, Clock::time_point> sessions;  // cookie -> expiry
    std::map<std::string, Upload> uploads;
    std::size_t chunks = 0;

    std::mutex observerMutex;
    std::function<void(const ObservedRequest&)> observer;
    std::atomic<bool> refusingUploads{false};

    std::filesystem::path statePath() const { return config.dataDir / "state.json"; }

    std::string randomHex(int words) {  // caller holds mutex
        std::string out;
        for (int i = 0; i < words; ++i) {
            char buf[17];
            std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(rng()));
            out += buf;
        }
        return out;
    }

    bool sessionValid(const std::string& cookie) {
        std::lock_guard lock(mutex);
        const auto it = sessions.find(cookie);
        if (it == sessions.end()) {
            return false;
        }
        if (Clock::now() >= it->second) {
            sessions.erase(it);
            save();
            return false;
        }
        return true;
    }

    std::expected<void, std::string> load();
    void save();  // caller holds mutex

    std::filesystem::path fileFor(const std::string& id) const {
        return config.dataDir / (id + ".mp4");
    }

    void routes(httplib::Server& s);
    void auth(const httplib::Request& req, httplib::Response& res);
    void upload(const httplib::Request& req, httplib::Response& res,
                const httplib::ContentReader& reader);
    std::expected<std::string, Refusal> store(UploadChunk& chunk);
    void videoPage(const httplib::Request& req, httplib::Response& res, bool file);
};

void DevServer::Impl::routes(httplib::Server& s) {
    s.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
        answer = {};
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // Before the reply is written: a client that has its answer finds its request observed.
    s.set_post_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        auto answered = std::exchange(answer, {});
        std::function<void(const ObservedRequest&)> notify;
        {
            std::lock_guard lock(observerMutex);
            notify = observer;
        }
        if (!notify) {
            return;
        }
        ObservedRequest seen{req.method,
                             req.path,
                             {req.headers.begin(), req.headers.end()},
                             std::move(answered.parts),
                             res.status,
                             std::move(answered.body)};
        notify(seen);
    });
    s.Post("/api/sagevane/auth", [this](const auto& req, auto& res) { auth(req, res); });

    s.Post("/api/sagevane/login", [this](const httplib::Request& req, httplib::Response& res) {
        const auto cookie = req.get_header_value("Cookie");
        if (cookie.empty()) {
            return sendError(res, 401, "Missing session cookie");
        }
        if (!sessionValid(cookie)) {
            return sendError(res, 401, "Unknown or expired session");
        }
        sendJson(res, 200, {{"user_id", kUserId}});
    });

    s.Get("/api/v1/health/", [](const httplib::Request&, httplib::Response& res) {
        sendJson(res, 200, {{"currentDateTime", utcNowIso()}});
    });

    s.Post("/api/v1/video/upload",
           [this](const httplib::Request& req, httplib::Response& res,
                  const httplib::ContentReader& reader) { upload(req, res, reader); });

    s.Get(R"(/api/trade-log/video/([^/]+))",
          [this](const auto& req, auto& res) { videoPage(req, res, false); });
    s.Get(R"(/api/trade-log/video/([^/]+)/file)",
          [this](const auto& req, auto& res) { videoPage(req, res, true); });

    s.Get("/", [](const httplib::Request&, httplib::Response& res) {
        setContent(res, pages::home(), "text/html; charset=utf-8");
    });
    s.Get("/forgot-password", [this](const httplib::Request&, httplib::Response& res) {
        setContent(res, pages::forgotPassword(config.user), "text/html; charset=utf-8");
    });

    // Every refusal httplib makes on its own (no route, oversized body) gets the error document.
    s.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty()) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            std::string message = "Malformed request";
            if (res.status == 404) {
                message = "No such endpoint: " + req.method + " " + req.path;
            } else if (res.status == 413) {
                message = "Request body too large";
            } else if (req.method == "POST" && !req.has_header("Content-Length") &&
                       !req.has_header("Transfer-Encoding")) {
                message = "POST without a Content-Length header";
            }
            sendError(res, res.status, message);
            return httplib::Server::HandlerResponse::Handled;
        }));
    s.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
            std::string what = "Internal error";
            try {
                std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                what += std::string(": ") + e.what();
            } catch (...) {
            }
            sendError(res, 500, what);
        });
    s.set_payload_max_length(kMaxUploadBody);
    // httplib's default adds SO_REUSEPORT, which lets a second instance share the port silently.
    s.set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
}

void DevServer::Impl::auth(const httplib::Request& req, httplib::Response& res) {
    const auto body = json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        return sendError(res, 400, "Body must be a JSON object");
    }
    for (const char* key : {"username", "password"}) {
        if (!body.contains(key) || !body[key].is_string()) {
            return sendError(res, 400, std::string("Missing or non-string \"") + key + "\"");
        }
    }
    if (body["username"] != config.user || body["password"] != config.password) {
        return sendError(res, 401, "Wrong credentials");
    }
    std::string cookie;
    {
        std::lock_guard lock(mutex);
        cookie = "sessionid=" + randomHex(2);
        sessions[cookie] = Clock::now() + std::chrono::seconds(kSessionSeconds);
        save();
    }
    sendJson(res, 200, {{"user_id", kUserId}, {"cookie", cookie}, {"expires_in", kSessionSeconds}});
}

void DevServer::Impl::upload(const httplib::Request& req, httplib::Response& res,
                             const httplib::ContentReader& reader) {
    UploadForm form;
    if (refusingUploads) {
        form.refuse(503, "Uploads are refused for now");
    }
    if (!sessionValid(req.get_header_value("Cookie"))) {
        form.refuse(401, "Missing, unknown or expired session cookie");
    }
    auto& observed = answer.parts;
    bool readOk = true;
    if (!req.is_multipart_form_data()) {
        form.refuse(400, "Expected a multipart/form-data body");
        // Drain what fits in one request so the connection stays usable for the reply.
        std::size_t seen = 0;
        readOk =
            reader([&seen](const char*, std::size_t n) { return (seen += n) <= kMaxUploadBody; });
    } else {
        readOk = reader(
            [&form, &observed](const httplib::MultipartFormData& part) {
                observed.push_back({part.name, {}, part.filename, 0});
                return form.onPartHeader(part.name, part.filename);
            },
            [&form, &observed](const char* data, std::size_t n) {
                if (!observed.empty()) {
                    auto& part = observed.back();
                    part.size += n;
                    if (part.filename.empty() && part.value.size() < kObservedValueBytes) {
                        part.value.append(data,
                                          std::min(n, kObservedValueBytes - part.value.size()));
                    }
                }
                return form.onPartData(data, n);
            });
    }
    if (!readOk) {
        // Unread body bytes may still be in the socket; make the client start afresh.
        res.set_header("Connection", "close");
    }
    auto chunk = form.finish(readOk, res.status);
    if (!chunk) {
        return sendError(res, chunk.error().status, chunk.error().message);
    }
    const auto id = store(*chunk);
    if (!id) {
        return sendError(res, id.error().status, id.error().message);
    }
    sendJson(res, 200, {{"status", "ok"}, {"video_id", *id}, {"chunk_number", chunk->chunkNumber}});
}

std::expected<std::string, Refusal> DevServer::Impl::store(UploadChunk& chunk) {
    // One lock over checks and write keeps a video's chunks strictly in order.
    std::lock_guard lock(mutex);
    std::string id;
    if (!chunk.videoId) {
        do {
            id = randomHex(1);
        } while (uploads.contains(id));
    } else {
        id = *chunk.videoId;
        const auto it = uploads.find(id);
        if (it == uploads.end()) {
            return std::unexpected(Refusal{400, "Unknown video_id \"" + id.substr(0, 64) + "\""});
        }
        const Upload& up = it->second;
        if (up.nextChunk == up.totalChunks) {
            return std::unexpected(Refusal{409, "Upload " + id + " is already complete"});
        }
        if (chunk.totalChunks != up.totalChunks) {
            return std::unexpected(Refusal{
                400, "total_chunks " + std::to_string(chunk.totalChunks) + " differs from " +
                         std::to_string(up.totalChunks) + " given on chunk 0"});
        }
        if (chunk.filename != up.filename) {
            return std::unexpected(Refusal{400, "filename differs from the one given on chunk 0"});
        }
        if (chunk.chunkNumber != up.nextChunk) {
            return std::unexpected(Refusal{400, "Expected chunk_number " +
                                                    std::to_string(up.nextChunk) + ", got " +
                                                    std::to_string(chunk.chunkNumber)});
        }
    }

    const auto mode = std::ios::binary | (chunk.chunkNumber == 0 ? std::ios::trunc : std::ios::app);
    std::ofstream out(fileFor(id), mode);
    out.write(chunk.bytes.data(), static_cast<std::streamsize>(chunk.bytes.size()));
    out.close();
    if (!out) {
        return std::unexpected(Refusal{500, "Could not write " + fileFor(id).string()});
    }
    auto& up = uploads[id];
    if (chunk.chunkNumber == 0) {
        up = Upload{chunk.filename, chunk.totalChunks, 0};
    }
    ++up.nextChunk;
    ++chunks;
    save();
    return id;
}

std::expected<void, std::string> DevServer::Impl::load() {
    const auto path = statePath();
    if (!std::filesystem::exists(path)) {
        return {};  // a new data folder
    }
    const auto unreadable = [&path] {
        return std::unexpected("cannot read " + path.string() + "; remove it to start afresh");
    };
    std::ifstream in(path);
    const auto doc = json::parse(in, nullptr, false);
    if (!doc.is_object()) {
        return unreadable();
    }
    const json kept = doc.value("sessions", json::object());
    const json sent = doc.value("uploads", json::object());
    if (!kept.is_object() || !sent.is_object()) {
        return unreadable();
    }
    const auto now = Clock::now();
    std::lock_guard lock(mutex);
    try {
        for (const auto& [cookie, expiry] : kept.items()) {
            const Clock::time_point at{std::chrono::seconds(expiry.get<std::int64_t>())};
            if (at > now) {
                sessions[cookie] = at;
            }
        }
        for (const auto& [id, entry] : sent.items()) {
            // A video whose file was deleted by hand is forgotten with it.
            if (std::filesystem::exists(fileFor(id))) {
                uploads[id] = Upload{entry.at("filename").get<std::string>(),
                                     entry.at("total_chunks").get<std::uint64_t>(),
                                     entry.at("next_chunk").get<std::uint64_t>()};
            }
        }
    } catch (const json::exception&) {
        sessions.clear();
        uploads.clear();
        return unreadable();
    }
    return {};
}

void DevServer::Impl::save() {
    json doc = {{"sessions", json::object()}, {"uploads", json::object()}};
    for (const auto& [cookie, expiry] : sessions) {
        doc["sessions"][cookie] =
            std::chrono::duration_cast<std::chrono::seconds>(expiry.time_since_epoch()).count();
    }
    for (const auto& [id, up] : uploads) {
        doc["uploads"][id] = {{"filename", up.filename},
                              {"total_chunks", up.totalChunks},
                              {"next_chunk", up.nextChunk}};
    }
    // The running server still has it all; only a restart would miss what was not saved.
    if (const auto saved = writeAtomically(statePath(), dump(doc)); !saved) {
        std::cerr << "korvane-devserver: " << saved.error() << std::endl;
    }
}

void DevServer::Impl::videoPage(const httplib::Request& req, httplib::Response& res, bool file) {
    const std::string id = req.matches[1];
    const std::string cookie = queryCookie(req.target);
    if (cookie.empty()) {
        return sendError(res, 401, "Missing cookie query item");
    }
    if (!sessionValid(cookie)) {
        return sendError(res, 401, "Unknown or expired session cookie");
    }
    {
        std::lock_guard lock(mutex);
        if (!uploads.contains(id)) {
            return sendError(res, 404, "Unknown video id");
        }
    }
    if (!file) {
        const auto url = "/api/trade-log/video/" + id +
                         "/file?cookie=" + httplib::detail::encode_query_param(cookie);
        setContent(res, pages::video(id, url), "text/html; charset=utf-8");
        return;
    }

    // Served from disk in pieces; httplib answers Range requests from a sized provider.
    const auto path = fileFor(id);
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
    if (ec || !*in) {
        return sendError(res, 500, "Could not read the video file");
    }
    if (size == 0) {
        return res.set_content("", "video/mp4");
    }
    res.set_header("Accept-Ranges", "bytes");
    res.set_content_provider(
        static_cast<std::size_t>(size), "video/mp4",
        [in](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            char buf[64 * 1024];
            in->seekg(static_cast<std::streamoff>(offset));
            in->read(buf, static_cast<std::streamsize>(std::min(length, sizeof buf)));
            const auto got = in->gcount();
            if (got <= 0) {
                return false;
            }
            return sink.write(buf, static_cast<std::size_t>(got));
        });
}

DevServer::DevServer(Config config) : impl_(std::make_unique<Impl>()) {
    impl_->config = std::move(config);
}

DevServer::~DevServer() {
    stop();
}

std::expected<int, std::string> DevServer::start() {
    if (impl_->server) {
        return std::unexpected("already started");
    }
    std::error_code ec;
    std::filesystem::create_directories(impl_->config.dataDir, ec);
    if (ec) {
        return std::unexpected("cannot create data folder " + impl_->config.dataDir.string() +
                               ": " + ec.message());
    }
    if (auto loaded = impl_->load(); !loaded) {
        return std::unexpected(loaded.error());
    }
    auto server = std::make_unique<httplib::Server>();
    server->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    impl_->routes(*server);
    const auto& host = impl_->config.host;
    int port = impl_->config.port;
    if (port == 0) {
        port = server->bind_to_any_port(host);
    } else if (!server->bind_to_port(host, port)) {
        port = -1;
    }
    if (port <= 0) {
        return std::unexpected("cannot listen on " + host + ":" +
                               std::to_string(impl_->config.port) +
                               " (address in use or not available)");
    }
    impl_->port = port;
    impl_->server = std::move(server);
    impl_->listenReturned = false;
    impl_->thread = std::thread([impl = impl_.get()] {
        impl->server->listen_after_bind();
        impl->listenReturned = true;
    });
    // httplib's stop() is a no-op until the accept loop runs, so wait for it to begin.
    while (!impl_->server->is_running() && !impl_->listenReturned) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return port;
}

void DevServer::stop() {
    if (!impl_->server) {
        return;
    }
    impl_->server->stop();
    if (impl_->thread.joinable()) {
        impl_->thread.join();
    }
    impl_->server.reset();
}

int DevServer::port() const {
    return impl_->port;
}

std::string DevServer::baseUrl() const {
    const auto& host = impl_->config.host;
    const bool v6 = host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(impl_->port);
}

std::optional<std::filesystem::path> DevServer::videoPath(const std::string& videoId) const {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->uploads.contains(videoId)) {
        return std::nullopt;
    }
    return impl_->fileFor(videoId);
}

std::size_t DevServer::chunksReceived() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->chunks;
}

void DevServer::setRequestObserver(std::function<void(const ObservedRequest&)> observer) {
    std::lock_guard lock(impl_->observerMutex);
    impl_->observer = std::move(observer);
}

void DevServer::setRefusingUploads(bool refusing) {
    impl_->refusingUploads = refusing;
}

}  // namespace devserver
