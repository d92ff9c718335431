#include "MicrophoneSourcePickerViewModel.h"

#include "platform/MainQueue.h"

#include <QPointer>

#include <algorithm>

namespace setup {

const QStringList& MicrophoneSourcePickerViewModel::keywords() {
    static const QStringList table{
        QStringLiteral("USB"),         QStringLiteral("Bluetooth"), QStringLiteral("AirPods"),
        QStringLiteral("Headset"),     QStringLiteral("Jabra"),     QStringLiteral("Logitech"),
        QStringLiteral("Plantronics"),
    };
    return table;
}

bool MicrophoneSourcePickerViewModel::isAccepted(const platform::CaptureDevice& device) {
    if (device.isBuiltIn) {
        return true;
    }
    const QString name = QString::fromStdString(device.localizedName).toLower();
    return std::ranges::any_of(
        keywords(), [&](const QString& keyword) { return name.contains(keyword.toLower()); });
}

MicrophoneSourcePickerViewModel::MicrophoneSourcePickerViewModel(
    std::shared_ptr<platform::CaptureDeviceDiscovery> discovery,
    std::shared_ptr<platform::MicrophoneAuthorization> authorization, QObject* parent)
    : QObject(parent),
      m_discovery(std::move(discovery)),
      m_authorization(std::move(authorization)) {
    // The list first, so it never waits on a permission answer.
    refreshMicrophones();
    checkPermission();
}

std::optional<MicrophoneDevice> MicrophoneSourcePickerViewModel::selectedDevice() const {
    if (!m_selectedDeviceID) {
        return std::nullopt;
    }
    const auto found = std::ranges::find(m_microphones, *m_selectedDeviceID, &MicrophoneDevice::id);
    if (found == m_microphones.end()) {
        return std::nullopt;
    }
    return *found;
}

void MicrophoneSourcePickerViewModel::refreshMicrophones() {
    const std::vector<platform::CaptureDevice> devices =
        m_discovery ? m_discovery->devices() : std::vector<platform::CaptureDevice>{};
    QList<MicrophoneDevice> accepted;
    for (const auto& device : devices) {
        if (isAccepted(device)) {
            accepted.append({QString::fromStdString(device.uniqueID),
                             QString::fromStdString(device.localizedName)});
        }
    }
    setMicrophones(std::move(accepted));

    auto firstListed = [this]() -> std::optional<QString> {
        return m_microphones.isEmpty() ? std::nullopt : std::optional(m_microphones.first().id);
    };
    if (m_selectedDeviceID) {
        if (!isListed(*m_selectedDeviceID)) {
            setSelectedDeviceID(firstListed());
        }
        return;
    }
    // Nothing proposed yet: the system's default input, when it is one we list.
    const auto fallback = m_discovery ? m_discovery->defaultDevice() : std::nullopt;
    const QString defaultID = fallback ? QString::fromStdString(fallback->uniqueID) : QString();
    setSelectedDeviceID(fallback && isListed(defaultID) ? std::optional(defaultID) : firstListed());
}

void MicrophoneSourcePickerViewModel::select(const std::optional<QString>& id) {
    if (!id) {
        setSelectedDeviceID(std::nullopt);
    } else if (isListed(*id)) {
        setSelectedDeviceID(id);
    }
}

void MicrophoneSourcePickerViewModel::checkPermission() {
    if (!m_authorization) {
        return;
    }
    switch (m_authorization->status()) {
        case platform::AuthorizationStatus::notDetermined: {
            // The answer comes on any thread and may outlive the picker: it is applied on the
            // main queue, and only while this model is still there.
            QPointer<MicrophoneSourcePickerViewModel> self(this);
            m_authorization->requestAccess([self](bool granted) {
                platform::MainQueue::post([self, granted] {
                    if (self) {
                        self->setHasRecordPermission(granted);
                    }
                });
            });
            break;
        }
        case platform::AuthorizationStatus::authorized:
            setHasRecordPermission(true);
            break;
        case platform::AuthorizationStatus::denied:
        case platform::AuthorizationStatus::restricted:
            setHasRecordPermission(false);
            break;
    }
}

bool MicrophoneSourcePickerViewModel::isListed(const QString& id) const {
    return std::ranges::any_of(m_microphones,
                               [&](const MicrophoneDevice& m) { return m.id == id; });
}

void MicrophoneSourcePickerViewModel::setMicrophones(QList<MicrophoneDevice> microphones) {
    m_microphones = std::move(microphones);
    emit microphonesChanged();
}

void MicrophoneSourcePickerViewModel::setSelectedDeviceID(std::optional<QString> id) {
    m_selectedDeviceID = std::move(id);
    emit selectedDeviceIDChanged();
}

void MicrophoneSourcePickerViewModel::setHasRecordPermission(bool value) {
    m_hasRecordPermission = value;
    emit hasRecordPermissionChanged();
}

}  // namespace setup
