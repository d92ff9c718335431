#include "ScreenRecorder.h"

#include "media/DesktopMicrophoneSettings.h"
#include "media/FfmpegAssetWriter.h"
#include "media/PulseAudioEngine.h"
#include "media/PulseDeviceDiscovery.h"
#include "media/SwrAudioConverter.h"
#include "x11/X11BorderOverlay.h"
#include "x11/X11CaptureStream.h"
#include "x11/X11WindowServer.h"

namespace recording {

// Kept apart so that programs built with their own environment do not pull in the desktop's.
RecorderEnvironment RecorderEnvironment::desktop() {
    RecorderEnvironment environment;
    environment.writerFactory = &platform::makeFfmpegAssetWriter;
    environment.audioEngineFactory = &platform::makePulseAudioEngine;
    environment.converterFactory = &platform::makeAudioConverter;
    environment.deviceDiscovery = platform::makePulseDeviceDiscovery();
    environment.authorization = std::make_shared<platform::DesktopMicrophoneAuthorization>();
    environment.settingsUi = std::make_shared<platform::DesktopMicrophoneSettingsUi>();
    environment.clock = &absoluteTimeNow;
    environment.defaults = &platform::DefaultsStore::standard();
    environment.captureStreamFactory = &platform::makeX11CaptureStream;
    environment.windowServer = platform::makeX11WindowServer();
    environment.borderOverlayFactory = &platform::makeX11BorderOverlay;
    // The picker is a window: the application supplies it.
    return environment;
}

}  // namespace recording
