#pragma once

#include "platform/CaptureDeviceDiscovery.h"

#include <memory>

namespace platform {

std::unique_ptr<CaptureDeviceDiscovery> makePulseDeviceDiscovery();

}  // namespace platform
