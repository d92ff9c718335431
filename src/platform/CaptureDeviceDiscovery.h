#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct CaptureDevice {
    std::string uniqueID;       // the PulseAudio source name
    std::string localizedName;  // its description
    bool isBuiltIn = false;
    bool operator==(const CaptureDevice&) const = default;
};

// The microphones of the machine (monitor sources are not microphones and are left out).
// Hot-plug events are posted on the notification centre as kCaptureDeviceWasConnected and
// kCaptureDeviceWasDisconnected, with "uniqueID" in the user info.
class CaptureDeviceDiscovery {
  public:
    virtual ~CaptureDeviceDiscovery() = default;
    virtual std::vector<CaptureDevice> devices() const = 0;
    virtual std::optional<CaptureDevice> defaultDevice() const = 0;
};

inline constexpr const char* kCaptureDeviceWasConnected = "AVCaptureDeviceWasConnected";
inline constexpr const char* kCaptureDeviceWasDisconnected = "AVCaptureDeviceWasDisconnected";
inline constexpr const char* kApplicationDidBecomeActive = "NSApplicationDidBecomeActive";

enum class AuthorizationStatus { notDetermined, restricted, denied, authorized };

class MicrophoneAuthorization {
  public:
    virtual ~MicrophoneAuthorization() = default;
    virtual AuthorizationStatus status() const = 0;
    // The completion may run on any thread.
    virtual void requestAccess(std::function<void(bool granted)> completion) = 0;
};

// Linux has no per-application microphone permission outside sandboxes: always authorized.
class DesktopMicrophoneAuthorization final : public MicrophoneAuthorization {
  public:
    AuthorizationStatus status() const override { return AuthorizationStatus::authorized; }
    void requestAccess(std::function<void(bool)> completion) override { completion(true); }
};

// The modal access alert and the system's microphone settings, behind one small interface.
class MicrophoneSettingsUi {
  public:
    virtual ~MicrophoneSettingsUi() = default;
    // Shows the alert; true when the first button was chosen.
    virtual bool runAccessAlert(const std::string& message, const std::string& informative,
                                const std::string& firstButton,
                                const std::string& secondButton) = 0;
    virtual void openMicrophoneSettings() = 0;
};

}  // namespace platform
