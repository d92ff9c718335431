#pragma once

#include "platform/AudioEngine.h"

#include <memory>
#include <string>

namespace platform {

// Fits an AudioEngineFactory: the device id is a PulseAudio source name, empty for the default.
std::unique_ptr<AudioEngine> makePulseAudioEngine(const std::string& deviceId);

}  // namespace platform
