#pragma once

#include <string>

namespace api {

// Any failure that is not one of the client's own errors: a read error, a decoding error, a
// transport error. Carried by NetworkError::custom and by the chunked upload.
struct AnyError {
    std::string domain;
    long code = 0;
    std::string localizedDescription;
    std::string debugDescription;  // extra detail for logs; never shown to the user

    // The platform's generic message for an error without a text of its own.
    static std::string genericDescription(const std::string& domain, long code);

    static AnyError fileReadError(const std::string& path, int errnoValue);
    static AnyError fileChangedWhileReading(const std::string& path);
    static AnyError keyNotFound(const std::string& key);
    static AnyError typeMismatch(const std::string& key, const std::string& expected);
    static AnyError dataCorrupted(const std::string& detail);
    static AnyError badServerResponse();
    // A request refused before it went out: the header `name` cannot be sent as it is.
    static AnyError unsendableHeader(const std::string& name);
};

}  // namespace api
