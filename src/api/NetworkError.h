#pragma once

#include "AnyError.h"
#include "Json.h"

#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace api {

// The error document the web API sends with a refused request. Every key is required.
struct ErrorModel {
    std::string message;
    static std::expected<ErrorModel, AnyError> decode(const Json& json);
};

struct ErrorResponseModel {
    std::int64_t status = 0;
    std::string message;
    std::vector<ErrorModel> error;
    static std::expected<ErrorResponseModel, AnyError> decode(const Json& json);
};

struct ServerErrorModel {
    ErrorResponseModel error;
};

// The HTTP layer's own failures, before the gateway maps them onto NetworkError.
struct HttpError {
    enum class Kind { sessionTaskFailed, responseValidationFailed, other };
    enum class ValidationReason { unacceptableStatusCode, other };

    Kind kind = Kind::other;
    std::optional<ServerErrorModel> serverError;  // sessionTaskFailed carrying an error document
    std::optional<AnyError> underlying;           // sessionTaskFailed carrying anything else
    ValidationReason reason = ValidationReason::other;
    int statusCode = 0;
    std::string otherDescription;  // Kind::other

    static HttpError sessionTaskFailed(ServerErrorModel model);
    static HttpError unacceptableStatusCode(int code);
    std::string localizedDescription() const;
};

class NetworkError {
  public:
    // In this order: the position is the error's code in its generic localized description.
    enum class Case {
        invalidResponse,
        custom,
        unknownCode,
        serverError,
        internalServerError,
        invalidJSON,
        invalidRequest,
        noConnection,
        unknown,
    };

    static NetworkError invalidResponse(HttpError error);
    static NetworkError custom(AnyError error);
    static NetworkError unknownCode(int code);
    static NetworkError serverError(ServerErrorModel model);
    static NetworkError internalServerError();
    static NetworkError invalidJSON();
    static NetworkError invalidRequest();
    static NetworkError noConnection();
    static NetworkError unknown();

    Case kind() const { return m_case; }
    // The error's own text.
    const std::string& description() const { return m_description; }
    // What the platform shows for this error type: the generic message with the case's code.
    std::string localizedDescription() const;

    const std::optional<HttpError>& httpError() const { return m_httpError; }
    const std::optional<AnyError>& customError() const { return m_custom; }
    const std::optional<ServerErrorModel>& serverErrorModel() const { return m_server; }
    int code() const { return m_code; }

    // Two errors are equal exactly when their texts are equal.
    bool operator==(const NetworkError& other) const {
        return m_description == other.m_description;
    }

  private:
    NetworkError(Case kind, std::string description);

    Case m_case;
    std::string m_description;
    std::optional<HttpError> m_httpError;
    std::optional<AnyError> m_custom;
    std::optional<ServerErrorModel> m_server;
    int m_code = 0;
};

}  // namespace api
