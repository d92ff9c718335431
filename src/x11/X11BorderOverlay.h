#pragma once

#include "platform/CaptureStream.h"

#include <memory>

namespace platform {

std::unique_ptr<BorderOverlayWindow> makeX11BorderOverlay(const Rect& frame,
                                                          const BorderStyle& style);

}  // namespace platform
