#pragma once

#include "platform/CaptureStream.h"

#include <memory>

namespace platform {

// Displays through MIT-SHM grabs of the root window, windows through Composite.
std::unique_ptr<CaptureStream> makeX11CaptureStream(const ContentFilter& filter,
                                                    const StreamConfiguration& config);

}  // namespace platform
