#pragma once

#include "platform/ScreenContent.h"

#include <memory>

namespace platform {

// The X server named by $DISPLAY; null when there is none.
std::unique_ptr<WindowServer> makeX11WindowServer();

}  // namespace platform
