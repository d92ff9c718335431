#pragma once

#include "HttpClient.h"
#include "Json.h"

#include <concepts>
#include <map>
#include <optional>
#include <string>

namespace api {

enum class HttpMethod { get, post, put, patch, delete_ };
std::string methodName(HttpMethod method);

// How `parameters` go into a request: URL form encoding, in the query for GET, HEAD and
// DELETE, otherwise as a form body.
enum class ParameterEncoding { urlEncodedForm };

struct RequestDescriptor {
    std::string path;
    HttpMethod method = HttpMethod::get;
    std::optional<HttpHeaders> headers;
    std::optional<std::map<std::string, Json>> parameters;
    ParameterEncoding encoding = ParameterEncoding::urlEncodedForm;
    std::optional<Bytes> body;
};

// A request value that describes itself to the gateway and names the model of its reply.
template <class R>
concept NetworkingRequest = requires(const R& request) {
    typename R::ResponseType;
    { request.descriptor() } -> std::convertible_to<RequestDescriptor>;
    {R::ResponseType::decode(Json())};
};

// Headers added to every request of a gateway.
class NetwortAdapterProtocol {
  public:
    virtual ~NetwortAdapterProtocol() = default;
    virtual std::map<std::string, std::string> headers() const = 0;
};

// The bearer token holder. Nothing sets it today: the server checks the "Cookie" instead.
class SessionStorage {
  public:
    static std::optional<std::string> token();
    static void setToken(std::optional<std::string> token);
};

class MainNetworkAdapter final : public NetwortAdapterProtocol {
  public:
    std::map<std::string, std::string> headers() const override;
};

}  // namespace api
