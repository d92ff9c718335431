#pragma once

#include "platform/CaptureDeviceDiscovery.h"

namespace platform {

// Opens the desktop's sound input settings (pavucontrol's input tab) when it is installed.
// The access alert needs a window: the application installs its own; this one only logs.
class DesktopMicrophoneSettingsUi : public MicrophoneSettingsUi {
  public:
    bool runAccessAlert(const std::string& message, const std::string& informative,
                        const std::string& firstButton, const std::string& secondButton) override;
    void openMicrophoneSettings() override;
};

}  // namespace platform
