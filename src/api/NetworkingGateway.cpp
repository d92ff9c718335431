#include "NetworkingGateway.h"

#include <curl/curl.h>

namespace api {

namespace {

std::string formEscape(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

void formPairs(const std::string& key, const Json& value, std::vector<std::string>& out) {
    if (value.is_object()) {
        for (const auto& [name, member] : value.items()) {
            formPairs(key + "[" + name + "]", member, out);
        }
    } else if (value.is_array()) {
        for (const auto& element : value) {
            formPairs(key + "[]", element, out);
        }
    } else if (value.is_boolean()) {
        out.push_back(formEscape(key) + "=" + (value.get<bool>() ? "1" : "0"));
    } else if (value.is_string()) {
        out.push_back(formEscape(key) + "=" + formEscape(value.get<std::string>()));
    } else if (!value.is_null()) {
        out.push_back(formEscape(key) + "=" + formEscape(value.dump()));
    }
}

bool isValidAbsoluteURL(const std::string& url) {
    CURLU* handle = curl_url();
    const bool ok = curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    char* host = nullptr;
    const bool hasHost =
        ok && curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK && host && *host;
    curl_free(host);
    curl_url_cleanup(handle);
    return ok && hasHost;
}

const char* caseName(NetworkError::Case kind) {
    switch (kind) {
        case NetworkError::Case::invalidResponse:
            return "invalidResponse";
        case NetworkError::Case::custom:
            return "custom";
        case NetworkError::Case::unknownCode:
            return "unknownCode";
        case NetworkError::Case::serverError:
            return "serverError";
        case NetworkError::Case::internalServerError:
            return "internalServerError";
        case NetworkError::Case::invalidJSON:
            return "invalidJSON";
        case NetworkError::Case::invalidRequest:
            return "invalidRequest";
        case NetworkError::Case::noConnection:
            return "noConnection";
        case NetworkError::Case::unknown:
            return "unknown";
    }
    return "unknown";
}

}  // namespace

std::string debugDescription(const NetworkError& error) {
    std::string text = caseName(error.kind());
    if (const auto& custom = error.customError()) {
        text += "(" + custom->domain + " " + std::to_string(custom->code) + ": " +
                (custom->debugDescription.empty() ? custom->localizedDescription
                                                  : custom->debugDescription) +
                ")";
    } else if (error.kind() == NetworkError::Case::unknownCode) {
        text += "(" + std::to_string(error.code()) + ")";
    } else if (error.kind() != NetworkError::Case::internalServerError &&
               error.kind() != NetworkError::Case::noConnection) {
        text += "(" + error.description() + ")";
    }
    return text;
}

std::string appendingPathComponent(const std::string& base, const std::string& component) {
    std::string joined = base;
    while (!joined.empty() && joined.back() == '/') {
        joined.pop_back();
    }
    const auto start = component.find_first_not_of('/');
    joined += "/";
    if (start != std::string::npos) {
        joined += component.substr(start);
    }
    return joined;
}

std::expected<Bytes, HttpError> BaseDataResponseSerializer::serialize(
    const HttpResponse& response) const {
    if (response.status && *response.status >= 200 && *response.status <= 209) {
        return response.body.value_or(Bytes());
    }
    if (response.body) {
        if (auto json = m_jsonDecoder.parse(*response.body)) {
            if (auto document = ErrorResponseModel::decode(*json)) {
                return std::unexpected(
                    HttpError::sessionTaskFailed(ServerErrorModel{std::move(*document)}));
            }
        }
    }
    return std::unexpected(HttpError::unacceptableStatusCode(response.status.value_or(0)));
}

std::shared_ptr<NetworkingGateway> NetworkingGateway::create(
    std::shared_ptr<HttpClient> sessionManager, std::string baseURL, std::string prefix,
    std::vector<std::shared_ptr<NetwortAdapterProtocol>> adapters,
    std::shared_ptr<platform::Reachability> reachability) {
    std::shared_ptr<NetworkingGateway> gateway(new NetworkingGateway());
    gateway->m_sessionManager = std::move(sessionManager);
    gateway->m_baseURL = std::move(baseURL);
    gateway->m_prefix = std::move(prefix);
    gateway->m_adapters = std::move(adapters);
    gateway->m_reachability = std::move(reachability);
    gateway->m_responseSerialiizer =
        std::make_shared<BaseDataResponseSerializer>(gateway->m_jsonDecoder);
    gateway->m_queue = std::make_shared<platform::SerialQueue>("NetworkGatewayProtocol");
    return gateway;
}

std::expected<HttpRequest, NetworkError> NetworkingGateway::buildURLRequest(
    const RequestDescriptor& descriptor) const {
    HttpRequest request;
    request.url =
        appendingPathComponent(appendingPathComponent(m_baseURL, m_prefix), descriptor.path);
    if (!isValidAbsoluteURL(request.url)) {
        return std::unexpected(NetworkError::invalidRequest());
    }
    request.method = methodName(descriptor.method);
    if (descriptor.headers) {
        request.headers = *descriptor.headers;
    }
    for (const auto& adapter : m_adapters) {
        for (const auto& [name, value] : adapter->headers()) {
            request.headers.set(name, value);
        }
    }
    if (descriptor.parameters) {
        std::vector<std::string> pairs;
        for (const auto& [key, value] : *descriptor.parameters) {
            formPairs(key, value, pairs);
        }
        std::string query;
        for (const auto& pair : pairs) {
            query += (query.empty() ? "" : "&") + pair;
        }
        const bool inURL =
            descriptor.method == HttpMethod::get || descriptor.method == HttpMethod::delete_;
        if (inURL) {
            if (!query.empty()) {
                request.url += (request.url.find('?') == std::string::npos ? "?" : "&") + query;
            }
        } else {
            if (!request.headers.value("Content-Type")) {
                request.headers.set("Content-Type",
                                    "application/x-www-form-urlencoded; charset=utf-8");
            }
            request.body = query;
        }
    }
    if (descriptor.body) {
        request.body = descriptor.body;
    }
    if (request.headers.unsendableField()) {
        return std::unexpected(NetworkError::invalidRequest());
    }
    return request;
}

NetworkError NetworkingGateway::mapError(const HttpError& error) {
    switch (error.kind) {
        case HttpError::Kind::sessionTaskFailed:
            if (error.serverError) {
                return NetworkError::serverError(*error.serverError);
            }
            return NetworkError::invalidResponse(error);
        case HttpError::Kind::responseValidationFailed:
            if (error.reason != HttpError::ValidationReason::unacceptableStatusCode) {
                return NetworkError::unknown();
            }
            if (error.statusCode == 500) {
                return NetworkError::internalServerError();
            }
            return NetworkError::unknownCode(error.statusCode);
        case HttpError::Kind::other:
            break;
    }
    return NetworkError::invalidResponse(error);
}

platform::Single<Bytes, NetworkError> NetworkingGateway::send(const RequestDescriptor& descriptor) {
    using Out = platform::Single<Bytes, NetworkError>;
    if (!m_reachability || !m_reachability->isReachable()) {
        return Out::fail(NetworkError::noConnection());
    }
    auto request = buildURLRequest(descriptor);
    if (!request) {
        return Out::fail(request.error());
    }
    std::weak_ptr<NetworkingGateway> weakSelf = weak_from_this();
    return Out([client = m_sessionManager, queue = m_queue, serializer = m_responseSerialiizer,
                request = std::move(*request), weakSelf](Out::Emit deliver) {
        client->send(request, [queue, serializer, weakSelf, deliver](HttpResponse response) {
            queue->post([serializer, weakSelf, deliver, response = std::move(response)] {
                auto bytes = serializer->serialize(response);
                if (bytes) {
                    deliver(std::move(*bytes));
                    return;
                }
                // The gateway may be gone by now: then there is nobody to map the error.
                deliver(std::unexpected(weakSelf.lock() ? mapError(bytes.error())
                                                        : NetworkError::unknown()));
            });
        });
    });
}

}  // namespace api
