#include "Json.h"

#include <cctype>
#include <cmath>
#include <limits>
#include <vector>

namespace api {

namespace {
char lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}
char upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}
bool isUpper(char c) {
    return std::isupper(static_cast<unsigned char>(c)) != 0;
}
bool isLower(char c) {
    return std::islower(static_cast<unsigned char>(c)) != 0;
}
}  // namespace

bool nestsDeeperThan(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        switch (c) {
            case '"':
                inString = true;
                break;
            case '[':
            case '{':
                if (++depth > limit) {
                    return true;
                }
                break;
            case ']':
            case '}':
                if (depth > 0) {
                    --depth;
                }
                break;
            default:
                break;
        }
    }
    return false;
}

std::string convertFromSnakeCase(std::string_view key) {
    // Leading and trailing underscores are kept; words after the first are capitalised
    // ("user_ID" -> "userId"); a key without an inner underscore stays as it is.
    const auto first = key.find_first_not_of('_');
    if (first == std::string_view::npos) {
        return std::string(key);
    }
    const auto last = key.find_last_not_of('_');
    const std::string_view body = key.substr(first, last - first + 1);

    std::vector<std::string_view> words;
    std::size_t start = 0;
    while (start <= body.size()) {
        const auto end = body.find('_', start);
        const auto word = body.substr(start, end == std::string_view::npos ? end : end - start);
        if (!word.empty()) {
            words.push_back(word);
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    if (words.size() <= 1) {
        return std::string(key);
    }
    std::string result(key.substr(0, first));
    for (std::size_t i = 0; i < words.size(); ++i) {
        for (std::size_t j = 0; j < words[i].size(); ++j) {
            const char c = words[i][j];
            result.push_back(i > 0 && j == 0 ? upper(c) : lower(c));
        }
    }
    result.append(key.substr(last + 1));
    return result;
}

std::string convertToSnakeCase(std::string_view key) {
    // A word starts at an upper-case letter after a lower-case one, and at the last capital of
    // a run followed by a lower-case letter ("myURLValue" -> "my_url_value").
    std::string result;
    for (std::size_t i = 0; i < key.size(); ++i) {
        const char c = key[i];
        if (isUpper(c) && i > 0) {
            const bool afterLower =
                isLower(key[i - 1]) || std::isdigit(static_cast<unsigned char>(key[i - 1]));
            const bool endsAcronym =
                isUpper(key[i - 1]) && i + 1 < key.size() && isLower(key[i + 1]);
            if ((afterLower || endsAcronym) && result.back() != '_') {
                result.push_back('_');
            }
        }
        result.push_back(lower(c));
    }
    return result;
}

Json convertKeys(const Json& value, std::string (*convert)(std::string_view)) {
    if (value.is_object()) {
        Json out = Json::object();
        for (const auto& [key, member] : value.items()) {
            out[convert(key)] = convertKeys(member, convert);
        }
        return out;
    }
    if (value.is_array()) {
        Json out = Json::array();
        for (const auto& element : value) {
            out.push_back(convertKeys(element, convert));
        }
        return out;
    }
    return value;
}

std::expected<void, AnyError> requireObject(const Json& value, const std::string& what) {
    if (!value.is_object()) {
        return std::unexpected(AnyError::typeMismatch(what, "an object"));
    }
    return {};
}

std::expected<std::string, AnyError> requiredString(const Json& object, const std::string& key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::unexpected(AnyError::keyNotFound(key));
    }
    if (!it->is_string()) {
        return std::unexpected(AnyError::typeMismatch(key, "a string"));
    }
    return it->get<std::string>();
}

std::expected<std::int64_t, AnyError> requiredInt(const Json& object, const std::string& key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::unexpected(AnyError::keyNotFound(key));
    }
    if (it->is_number_integer()) {
        return it->get<std::int64_t>();
    }
    if (it->is_number_unsigned()) {
        const auto value = it->get<std::uint64_t>();
        if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return static_cast<std::int64_t>(value);
        }
    }
    if (it->is_number_float()) {
        // 3600.0 is an integer; 3600.5 is not.
        const double value = it->get<double>();
        if (std::isfinite(value) && std::trunc(value) == value && std::abs(value) < 9.0e18) {
            return static_cast<std::int64_t>(value);
        }
    }
    return std::unexpected(AnyError::typeMismatch(key, "an integer"));
}

std::expected<std::optional<std::string>, AnyError> optionalString(const Json& object,
                                                                   const std::string& key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::optional<std::string>();
    }
    if (!it->is_string()) {
        return std::unexpected(AnyError::typeMismatch(key, "a string"));
    }
    return std::optional<std::string>(it->get<std::string>());
}

std::expected<Json, AnyError> JsonDecoder::parse(const Bytes& bytes) const {
    if (nestsDeeperThan(bytes, maxJsonDepth)) {
        return std::unexpected(AnyError::dataCorrupted("The given data was nested more than " +
                                                       std::to_string(maxJsonDepth) +
                                                       " levels deep."));
    }
    Json json = Json::parse(bytes, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded()) {
        return std::unexpected(AnyError::dataCorrupted("The given data was not valid JSON."));
    }
    return convertKeys(json, &convertFromSnakeCase);
}

}  // namespace api
