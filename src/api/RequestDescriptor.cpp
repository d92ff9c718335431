#include "RequestDescriptor.h"

#include <mutex>

namespace api {

std::string methodName(HttpMethod method) {
    switch (method) {
        case HttpMethod::get:
            return "GET";
        case HttpMethod::post:
            return "POST";
        case HttpMethod::put:
            return "PUT";
        case HttpMethod::patch:
            return "PATCH";
        case HttpMethod::delete_:
            return "DELETE";
    }
    return "GET";
}

namespace {
std::mutex g_tokenMutex;
std::optional<std::string> g_token;
}  // namespace

std::optional<std::string> SessionStorage::token() {
    std::lock_guard lock(g_tokenMutex);
    return g_token;
}

void SessionStorage::setToken(std::optional<std::string> token) {
    std::lock_guard lock(g_tokenMutex);
    g_token = std::move(token);
}

std::map<std::string, std::string> MainNetworkAdapter::headers() const {
    return {
        {"Accept", "application/json"},
        {"Content-Type", "application/json"},
        {"Authorization", "Bearer " + SessionStorage::token().value_or("")},
    };
}

}  // namespace api
