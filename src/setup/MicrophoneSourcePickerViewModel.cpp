#include "MicrophoneSourcePickerViewModel.h"

namespace setup {
MicrophoneSourcePickerViewModel::MicrophoneSourcePickerViewModel(std::shared_ptr<platform::CaptureDeviceDiscovery> discovery, std::shared_ptr<platform::MicrophoneAuthorization> authorization, QObject* parent)
    : QObject(parent), m_discovery(std::move(discovery)), m_authorization(std::move(authorization)) {}
}  // namespace setup
