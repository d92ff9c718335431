#pragma once

#include "Json.h"

#include <expected>
#include <optional>
#include <string>

namespace api {

// --- request bodies ---

struct SignInRequestModel {
    std::string username;
    std::string password;
    Json toJson() const;
};

struct UploadVideoRequestModel {
    Bytes video;  // sent as Base64 text
    Json toJson() const;
};

// --- replies ---

struct SignInResponse {
    std::string userId;
    std::string cookie;
    std::int64_t expiresIn = 0;
    static std::expected<SignInResponse, AnyError> decode(const Json& json);
};

struct ValidateUserResponse {
    std::string userId;
    static std::expected<ValidateUserResponse, AnyError> decode(const Json& json);
};

struct UploadVideoResponse {
    std::optional<std::string> message;
    std::optional<std::string> filename;
    std::string status;
    static std::expected<UploadVideoResponse, AnyError> decode(const Json& json);
    Json toJson() const;  // absent members are left out
    bool operator==(const UploadVideoResponse&) const = default;
};

}  // namespace api
