#pragma once

#include "platform/CaptureDeviceDiscovery.h"

#include <QObject>
#include <QtQml/qqmlregistration.h>

#include <memory>

namespace setup {

class MicrophoneSourcePickerViewModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")

  public:
    MicrophoneSourcePickerViewModel(std::shared_ptr<platform::CaptureDeviceDiscovery> discovery,
                                    std::shared_ptr<platform::MicrophoneAuthorization> authorization,
                                    QObject* parent = nullptr);

  private:
    std::shared_ptr<platform::CaptureDeviceDiscovery> m_discovery;
    std::shared_ptr<platform::MicrophoneAuthorization> m_authorization;
};

}  // namespace setup
