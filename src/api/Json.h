#pragma once

#include "AnyError.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace api {

using Json = nlohmann::json;
using Bytes = std::string;  // raw bytes of a body

// Replies nested deeper than this are refused unread. The key conversion and the pretty-printer
// recurse once per level, and a body of tens of thousands of nested brackets would take the
// stack with it.
inline constexpr std::size_t maxJsonDepth = 64;

// Whether arrays and objects in `text` nest deeper than `limit`, without building anything and
// without recursing; brackets inside strings do not count. Meant for text that is then parsed:
// it does not validate, and unbalanced closers only lower the count.
bool nestsDeeperThan(std::string_view text, std::size_t limit);

// Key conversions between the server's snake_case and our camelCase field names, applied to
// every object key at every depth.
std::string convertFromSnakeCase(std::string_view key);
std::string convertToSnakeCase(std::string_view key);
Json convertKeys(const Json& value, std::string (*convert)(std::string_view));

// Required and optional members of a decoded object. Optional members may be absent or null;
// a member of another type is an error either way.
std::expected<std::string, AnyError> requiredString(const Json& object, const std::string& key);
std::expected<std::int64_t, AnyError> requiredInt(const Json& object, const std::string& key);
std::expected<std::optional<std::string>, AnyError> optionalString(const Json& object,
                                                                   const std::string& key);
std::expected<void, AnyError> requireObject(const Json& value, const std::string& what);

// The gateway's decoder: snake_case keys become camelCase, then the model decodes itself.
// A model is a type with `static std::expected<Model, AnyError> decode(const Json&)`.
class JsonDecoder {
  public:
    // Fails with a decoding error for text that is not JSON or nests deeper than maxJsonDepth.
    std::expected<Json, AnyError> parse(const Bytes& bytes) const;

    template <class Model>
    std::expected<Model, AnyError> decode(const Bytes& bytes) const {
        auto json = parse(bytes);
        if (!json) {
            return std::unexpected(json.error());
        }
        return Model::decode(*json);
    }
};

// Encodes a model (a type with `Json toJson() const`) with keys converted to snake_case.
template <class Model>
Bytes encodeSnakeCase(const Model& model) {
    return convertKeys(model.toJson(), &convertToSnakeCase).dump();
}

}  // namespace api
