#pragma once

#include "NetworkingGateway.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

// Answers every request with the bytes or the error the test set, from another thread as the
// real gateway does, and keeps what was sent.
class FakeGateway final : public api::NetworkGatewayProtocol {
  public:
    platform::Single<api::Bytes, api::NetworkError> send(
        const api::RequestDescriptor& descriptor) override {
        using Out = platform::Single<api::Bytes, api::NetworkError>;
        sent.push_back(descriptor);
        return Out([reply = reply, delay = delay](Out::Emit deliver) {
            std::thread([reply, delay, deliver] {
                std::this_thread::sleep_for(delay);
                deliver(reply);
            }).detach();
        });
    }
    const api::JsonDecoder& jsonDecoder() const override { return m_decoder; }

    std::expected<api::Bytes, api::NetworkError> reply =
        api::Bytes(R"({"user_id":"7","cookie":"c=1","expires_in":3600})");
    std::vector<api::RequestDescriptor> sent;
    std::chrono::milliseconds delay{0};

  private:
    api::JsonDecoder m_decoder;
};
