#pragma once

#include "NetworkingGateway.h"

#include <memory>

namespace api {

class SignInProtocol {
  public:
    virtual ~SignInProtocol() = default;
    virtual std::shared_ptr<NetworkGatewayProtocol> networking() const = 0;
};

// Holds the web application's gateway for signing in and for validating a stored sign-in.
class SignInRepository final : public SignInProtocol {
  public:
    explicit SignInRepository(std::shared_ptr<NetworkGatewayProtocol> networking)
        : m_networking(std::move(networking)) {}
    std::shared_ptr<NetworkGatewayProtocol> networking() const override { return m_networking; }

  private:
    std::shared_ptr<NetworkGatewayProtocol> m_networking;
};

}  // namespace api
