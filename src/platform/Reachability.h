#pragma once

namespace platform {

// Whether the network looks usable at all; asked before any request is sent.
class Reachability {
  public:
    virtual ~Reachability() = default;
    virtual bool isReachable() const = 0;
};

// Reachable when a non-loopback interface is up with an address, or a default route exists.
class DesktopReachability final : public Reachability {
  public:
    bool isReachable() const override;
};

}  // namespace platform
