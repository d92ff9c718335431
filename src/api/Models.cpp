#include "Models.h"

#include "HttpClient.h"

#include <QByteArray>

namespace api {

Json SignInRequestModel::toJson() const {
    return {{"username", username}, {"password", password}};
}

Json UploadVideoRequestModel::toJson() const {
    const auto base64 =
        QByteArray::fromRawData(video.data(), static_cast<qsizetype>(video.size())).toBase64();
    return {{"video", base64.toStdString()}};
}

std::expected<SignInResponse, AnyError> SignInResponse::decode(const Json& json) {
    if (auto ok = requireObject(json, "SignInResponse"); !ok) {
        return std::unexpected(ok.error());
    }
    auto userId = requiredString(json, "userId");
    if (!userId) {
        return std::unexpected(userId.error());
    }
    auto cookie = requiredString(json, "cookie");
    if (!cookie) {
        return std::unexpected(cookie.error());
    }
    // It goes out in the "Cookie" header of every later request: a line break in it would add
    // header lines of the reply's choosing to all of them.
    if (!isSendableHeaderValue(*cookie)) {
        return std::unexpected(AnyError::dataCorrupted("the cookie holds CR, LF or NUL"));
    }
    auto expiresIn = requiredInt(json, "expiresIn");
    if (!expiresIn) {
        return std::unexpected(expiresIn.error());
    }
    return SignInResponse{*userId, *cookie, *expiresIn};
}

std::expected<ValidateUserResponse, AnyError> ValidateUserResponse::decode(const Json& json) {
    if (auto ok = requireObject(json, "ValidateUserResponse"); !ok) {
        return std::unexpected(ok.error());
    }
    auto userId = requiredString(json, "userId");
    if (!userId) {
        return std::unexpected(userId.error());
    }
    return ValidateUserResponse{*userId};
}

std::expected<UploadVideoResponse, AnyError> UploadVideoResponse::decode(const Json& json) {
    if (auto ok = requireObject(json, "UploadVideoResponse"); !ok) {
        return std::unexpected(ok.error());
    }
    auto message = optionalString(json, "message");
    if (!message) {
        return std::unexpected(message.error());
    }
    auto filename = optionalString(json, "filename");
    if (!filename) {
        return std::unexpected(filename.error());
    }
    auto status = requiredString(json, "status");
    if (!status) {
        return std::unexpected(status.error());
    }
    return UploadVideoResponse{*message, *filename, *status};
}

Json UploadVideoResponse::toJson() const {
    Json json = {{"status", status}};
    if (message) {
        json["message"] = *message;
    }
    if (filename) {
        json["filename"] = *filename;
    }
    return json;
}

}  // namespace api
