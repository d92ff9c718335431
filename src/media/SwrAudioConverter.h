#pragma once

#include "platform/AudioEngine.h"

#include <memory>

namespace platform {

// The converter over libswresample. Null when the conversion is not supported.
std::unique_ptr<AudioConverter> makeAudioConverter(const AudioFormat& from, const AudioFormat& to);

}  // namespace platform
