#include "AnyError.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace api {

namespace {
constexpr const char* kFileDomain = "FileError";
constexpr const char* kDecodingDomain = "DecodingError";
constexpr long kDataMissing = 4865;
constexpr long kDataCorrupt = 4864;
}  // namespace

std::string AnyError::genericDescription(const std::string& domain, long code) {
    return "The operation couldn\u2019t be completed. (" + domain + " error " +
           std::to_string(code) + ".)";
}

AnyError AnyError::fileReadError(const std::string& path, int errnoValue) {
    const std::string name = std::filesystem::path(path).filename().string();
    AnyError error{kFileDomain, 256, "", path + ": " + std::strerror(errnoValue)};
    if (errnoValue == ENOENT || errnoValue == ENOTDIR) {
        error.code = 260;
        error.localizedDescription =
            "The file \u201c" + name +
            "\u201d couldn\u2019t be opened because there is no such file.";
    } else if (errnoValue == EACCES || errnoValue == EPERM) {
        error.code = 257;
        error.localizedDescription = "The file \u201c" + name +
                                     "\u201d couldn\u2019t be opened because you don\u2019t have "
                                     "permission to view it.";
    } else {
        error.localizedDescription = "The file \u201c" + name + "\u201d couldn\u2019t be opened.";
    }
    return error;
}

AnyError AnyError::fileChangedWhileReading(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    return {kFileDomain, 256, "The file \u201c" + name + "\u201d couldn\u2019t be read.",
            path + ": the file became shorter while it was being read"};
}

AnyError AnyError::keyNotFound(const std::string& key) {
    return {kDecodingDomain, kDataMissing, "The data couldn\u2019t be read because it is missing.",
            "keyNotFound: no value associated with key \"" + key + "\""};
}

AnyError AnyError::typeMismatch(const std::string& key, const std::string& expected) {
    return {kDecodingDomain, kDataCorrupt,
            "The data couldn\u2019t be read because it isn\u2019t in the correct format.",
            "typeMismatch: expected " + expected + " for key \"" + key + "\""};
}

AnyError AnyError::dataCorrupted(const std::string& detail) {
    return {kDecodingDomain, kDataCorrupt,
            "The data couldn\u2019t be read because it isn\u2019t in the correct format.",
            "dataCorrupted: " + detail};
}

AnyError AnyError::badServerResponse() {
    // A bare URL-loading error: no text of its own, so it reads as the generic message.
    constexpr long kBadServerResponse = -1011;
    return {"URLError", kBadServerResponse, genericDescription("URLError", kBadServerResponse),
            "badServerResponse"};
}

AnyError AnyError::unsendableHeader(const std::string& name) {
    constexpr long kCannotSend = 1;
    return {"RequestError", kCannotSend, "The request has a header that cannot be sent.",
            "header \"" + name + "\" cannot go out as one line as it is"};
}

}  // namespace api
