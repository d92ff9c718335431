#include "NetworkError.h"

namespace api {

std::expected<ErrorModel, AnyError> ErrorModel::decode(const Json& json) {
    if (auto ok = requireObject(json, "error[]"); !ok) {
        return std::unexpected(ok.error());
    }
    auto message = requiredString(json, "message");
    if (!message) {
        return std::unexpected(message.error());
    }
    return ErrorModel{*message};
}

std::expected<ErrorResponseModel, AnyError> ErrorResponseModel::decode(const Json& json) {
    if (auto ok = requireObject(json, "document"); !ok) {
        return std::unexpected(ok.error());
    }
    auto status = requiredInt(json, "status");
    if (!status) {
        return std::unexpected(status.error());
    }
    auto message = requiredString(json, "message");
    if (!message) {
        return std::unexpected(message.error());
    }
    const auto list = json.find("error");
    if (list == json.end() || list->is_null()) {
        return std::unexpected(AnyError::keyNotFound("error"));
    }
    if (!list->is_array()) {
        return std::unexpected(AnyError::typeMismatch("error", "an array"));
    }
    ErrorResponseModel model{*status, *message, {}};
    for (const auto& element : *list) {
        auto entry = ErrorModel::decode(element);
        if (!entry) {
            return std::unexpected(entry.error());
        }
        model.error.push_back(std::move(*entry));
    }
    return model;
}

HttpError HttpError::sessionTaskFailed(ServerErrorModel model) {
    HttpError error;
    error.kind = Kind::sessionTaskFailed;
    error.serverError = std::move(model);
    return error;
}

HttpError HttpError::unacceptableStatusCode(int code) {
    HttpError error;
    error.kind = Kind::responseValidationFailed;
    error.reason = ValidationReason::unacceptableStatusCode;
    error.statusCode = code;
    return error;
}

std::string HttpError::localizedDescription() const {
    switch (kind) {
        case Kind::sessionTaskFailed:
            return "Request failed with error: " +
                   (underlying ? underlying->localizedDescription
                               : AnyError::genericDescription("Korvane.ServerErrorModel", 1));
        case Kind::responseValidationFailed:
            if (reason == ValidationReason::unacceptableStatusCode) {
                return "Response status code was unacceptable: " + std::to_string(statusCode) + ".";
            }
            return "Response could not be validated.";
        case Kind::other:
            break;
    }
    return otherDescription;
}

NetworkError::NetworkError(Case kind, std::string description)
    : m_case(kind), m_description(std::move(description)) {}

NetworkError NetworkError::invalidResponse(HttpError error) {
    NetworkError result(Case::invalidResponse, "Invalid Response: " + error.localizedDescription());
    result.m_httpError = std::move(error);
    return result;
}

NetworkError NetworkError::custom(AnyError error) {
    NetworkError result(Case::custom, error.localizedDescription);
    result.m_custom = std::move(error);
    return result;
}

NetworkError NetworkError::unknownCode(int code) {
    NetworkError result(Case::unknownCode, "Unknown Error Code: " + std::to_string(code));
    result.m_code = code;
    return result;
}

NetworkError NetworkError::serverError(ServerErrorModel model) {
    NetworkError result(Case::serverError, model.error.message);
    result.m_server = std::move(model);
    return result;
}

NetworkError NetworkError::internalServerError() {
    return {Case::internalServerError, "Internal Server Error"};
}
NetworkError NetworkError::invalidJSON() {
    return {Case::invalidJSON, "Invalid JSON"};
}
NetworkError NetworkError::invalidRequest() {
    return {Case::invalidRequest, "Invalid Request"};
}
NetworkError NetworkError::noConnection() {
    return {Case::noConnection, "No Internet Connection"};
}
NetworkError NetworkError::unknown() {
    return {Case::unknown, "Unknown Error"};
}

std::string NetworkError::localizedDescription() const {
    return AnyError::genericDescription("Korvane.NetworkError", static_cast<long>(m_case));
}

}  // namespace api
