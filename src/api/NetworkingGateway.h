#pragma once

#include "HttpClient.h"
#include "Json.h"
#include "NetworkError.h"
#include "RequestDescriptor.h"

#include "platform/Log.h"
#include "platform/Reachability.h"
#include "platform/SerialQueue.h"
#include "platform/Single.h"

#include <expected>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace api {

using Empty = std::monostate;

// A text for the log that tells what went wrong in more detail than the user-facing text.
std::string debugDescription(const NetworkError& error);

// The request interface the view models and repositories call. A gateway implements send();
// the typed operations are built on it.
class NetworkGatewayProtocol {
  public:
    virtual ~NetworkGatewayProtocol() = default;

    // One HTTP call for a described request: the raw reply bytes or a NetworkError, delivered
    // on the gateway's queue.
    virtual platform::Single<Bytes, NetworkError> send(const RequestDescriptor& descriptor) = 0;
    virtual const JsonDecoder& jsonDecoder() const = 0;

    template <NetworkingRequest R>
    platform::Single<Empty, NetworkError> requestVoid(const R& request) {
        return send(request.descriptor()).map([](Bytes) { return Empty{}; });
    }

    template <NetworkingRequest R>
    platform::Single<typename R::ResponseType, NetworkError> request(const R& request) {
        using Model = typename R::ResponseType;
        using Out = platform::Single<Model, NetworkError>;
        auto raw = send(request.descriptor());
        const JsonDecoder decoder = jsonDecoder();
        return Out([raw, decoder](typename Out::Emit deliver) {
            raw.start([deliver, decoder](std::expected<Bytes, NetworkError> bytes) {
                if (!bytes) {
                    platform::logLine(debugDescription(bytes.error()));
                    deliver(std::unexpected(bytes.error()));
                    return;
                }
                auto model = decoder.template decode<Model>(*bytes);
                if (!model) {
                    // A reply that does not decode is the caller's custom error.
                    const auto error = NetworkError::custom(model.error());
                    platform::logLine(debugDescription(error));
                    deliver(std::unexpected(error));
                    return;
                }
                deliver(std::move(*model));
            });
        });
    }

    template <NetworkingRequest R>
    platform::Single<Bytes, NetworkError> requestData(const R& request) {
        return send(request.descriptor());
    }
};

// Accepts replies with status 200 to 209; anything else is an error document or a status
// error. The transport's own error is not consulted.
class BaseDataResponseSerializer {
  public:
    explicit BaseDataResponseSerializer(JsonDecoder decoder) : m_jsonDecoder(decoder) {}
    std::expected<Bytes, HttpError> serialize(const HttpResponse& response) const;

  private:
    JsonDecoder m_jsonDecoder;
};

class NetworkingGateway final : public NetworkGatewayProtocol,
                                public std::enable_shared_from_this<NetworkingGateway> {
  public:
    static std::shared_ptr<NetworkingGateway> create(
        std::shared_ptr<HttpClient> sessionManager, std::string baseURL, std::string prefix,
        std::vector<std::shared_ptr<NetwortAdapterProtocol>> adapters,
        std::shared_ptr<platform::Reachability> reachability);

    platform::Single<Bytes, NetworkError> send(const RequestDescriptor& descriptor) override;
    const JsonDecoder& jsonDecoder() const override { return m_jsonDecoder; }

    std::expected<HttpRequest, NetworkError> buildURLRequest(
        const RequestDescriptor& descriptor) const;
    static NetworkError mapError(const HttpError& error);

    const std::string& baseURL() const { return m_baseURL; }
    const std::string& dateFormat() const { return m_dateFormat; }
    const std::string& queueLabel() const { return m_queue->label(); }

  private:
    NetworkingGateway() = default;

    std::shared_ptr<HttpClient> m_sessionManager;
    std::string m_baseURL;
    std::string m_prefix;
    std::vector<std::shared_ptr<NetwortAdapterProtocol>> m_adapters;
    std::shared_ptr<platform::Reachability> m_reachability;
    std::string m_dateFormat = "yyyy-MM-dd'T'HH:mm:ss.SSSZ";
    JsonDecoder m_jsonDecoder;
    std::shared_ptr<BaseDataResponseSerializer> m_responseSerialiizer;
    std::shared_ptr<platform::SerialQueue> m_queue;
};

// base + "/" + component with exactly one "/" between them.
std::string appendingPathComponent(const std::string& base, const std::string& component);

}  // namespace api
