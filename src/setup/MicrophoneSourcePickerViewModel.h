#pragma once

// Qt first: Qt 6.4's moc cannot parse <compare> (pulled in by the platform headers) otherwise.
#include <QtQml/qqmlregistration.h>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include "platform/CaptureDeviceDiscovery.h"

#include <memory>
#include <optional>

namespace setup {

// MicrophoneDevice: one microphone the picker offers, known by the device's unique id.
struct MicrophoneDevice {
    QString id;
    QString name;
    bool operator==(const MicrophoneDevice&) const = default;
};

// MicrophoneSourcePickerViewModel: the microphones the picker lists, a proposed choice and
// whether the microphone may be used. It enumerates once, when made; a device plugged in while
// the picker is open shows up the next time it opens. It persists nothing.
class MicrophoneSourcePickerViewModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")

  public:
    using MicrophoneDevice = setup::MicrophoneDevice;

    // Names that mark an external microphone, tried in this order, ignoring case.
    static const QStringList& keywords();
    // Built-in microphones and devices whose name carries a keyword.
    static bool isAccepted(const platform::CaptureDevice& device);

    // Lists the devices, then reads (or asks for) the microphone permission.
    MicrophoneSourcePickerViewModel(
        std::shared_ptr<platform::CaptureDeviceDiscovery> discovery,
        std::shared_ptr<platform::MicrophoneAuthorization> authorization,
        QObject* parent = nullptr);

    // In the platform's order, neither sorted nor de-duplicated.
    const QList<MicrophoneDevice>& microphones() const { return m_microphones; }
    const std::optional<QString>& selectedDeviceID() const { return m_selectedDeviceID; }
    bool hasRecordPermission() const { return m_hasRecordPermission; }
    // The listed device the proposal names, if any.
    std::optional<MicrophoneDevice> selectedDevice() const;

    void refreshMicrophones();
    // None clears the proposal; an id that is not listed changes nothing.
    void select(const std::optional<QString>& id);
    void checkPermission();

  signals:
    // Each assignment is announced, also one that leaves the value as it was.
    void microphonesChanged();
    void selectedDeviceIDChanged();
    void hasRecordPermissionChanged();

  private:
    bool isListed(const QString& id) const;
    void setMicrophones(QList<MicrophoneDevice> microphones);
    void setSelectedDeviceID(std::optional<QString> id);
    void setHasRecordPermission(bool value);

    std::shared_ptr<platform::CaptureDeviceDiscovery> m_discovery;
    std::shared_ptr<platform::MicrophoneAuthorization> m_authorization;
    QList<MicrophoneDevice> m_microphones;
    std::optional<QString> m_selectedDeviceID;
    bool m_hasRecordPermission = false;
};

}  // namespace setup
