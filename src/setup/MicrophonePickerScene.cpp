#include "MicrophonePickerScene.h"

#include "desktop/AppResources.h"
#include "desktop/Notifications.h"
#include "desktop/WindowControl.h"
#include "platform/AssignIfChanged.h"
#include "platform/MainQueue.h"

#include <QPointer>
#include <QQuickWindow>
#include <QTimer>

#include <algorithm>
#include <chrono>

namespace setup {

namespace {

using namespace std::chrono_literals;

const QString kPickerWindow = QStringLiteral("MicrophoneWindow");
const QString kMainWindow = QStringLiteral("KVWindowGroup");
const QString kSelectedMicrophoneKey = QStringLiteral("SelectedMicrophoneKey");

// The desktop's neutral gray for a pressed close button.
const QColor kSystemGray(0x8E, 0x8E, 0x93);

}  // namespace

MicrophoneRows::MicrophoneRows(QObject* parent) : QAbstractListModel(parent) {}

void MicrophoneRows::setDevices(QList<MicrophoneDevice> devices) {
    beginResetModel();
    m_devices = std::move(devices);
    endResetModel();
}

void MicrophoneRows::setMarks(const std::optional<QString>& selectedID,
                              const std::optional<QString>& hoveringID) {
    m_selectedID = selectedID;
    m_hoveringID = hoveringID;
    if (!m_devices.isEmpty()) {
        emit dataChanged(index(0), index(rowCount() - 1), {IsSelectedRole, IsHighlightedRole});
    }
}

int MicrophoneRows::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_devices.size());
}

QVariant MicrophoneRows::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const MicrophoneDevice& device = m_devices.at(index.row());
    const bool selected = m_selectedID == device.id;
    switch (role) {
        case MicIdRole:
            return device.id;
        case NameRole:
            return device.name;
        case IsSelectedRole:
            return selected;
        case IsHighlightedRole:
            return selected || m_hoveringID == device.id;
        default:
            return {};
    }
}

QHash<int, QByteArray> MicrophoneRows::roleNames() const {
    return {{MicIdRole, "micId"},
            {NameRole, "name"},
            {IsSelectedRole, "isSelected"},
            {IsHighlightedRole, "isHighlighted"}};
}

MicrophonePickerScene::MicrophonePickerScene(
    desktop::Router& router, platform::DefaultsStore& defaults,
    std::unique_ptr<MicrophoneSourcePickerViewModel> viewModel, QObject* parent)
    : QObject(parent),
      m_router(router),
      m_defaults(defaults),
      m_viewModel(std::move(viewModel)),
      m_rows(this),
      m_closeButtonColor(desktop::AppResources::color(QStringLiteral("application_green"))) {
    m_rows.setDevices(m_viewModel->microphones());
    connect(m_viewModel.get(), &MicrophoneSourcePickerViewModel::microphonesChanged, this, [this] {
        m_rows.setDevices(m_viewModel->microphones());
        emit isEmptyChanged();
    });

    // Quitting while the picker is open forgets the stored choice.
    m_observers.add(
        QString::fromLatin1(desktop::notifications::applicationWillTerminate),
        [this](const QVariantMap&) { m_defaults.setString(kSelectedMicrophoneKey, ""); });
    // However the window goes (the window manager's close included), its observers go with it,
    // not only when this object is deleted later.
    m_observers.add(QString::fromLatin1(desktop::notifications::windowWillClose),
                    [this](const QVariantMap& info) {
                        if (info.value(QStringLiteral("identifier")).toString() == kPickerWindow) {
                            m_isLeaving = true;
                            m_observers.removeAll();
                        }
                    });
}

platform::Rect MicrophonePickerScene::pickerFrame(const platform::Rect& reference, double width,
                                                  double height) {
    return {reference.x + reference.width - width - 425,
            reference.y + reference.height - 70 - height, width, height};
}

void MicrophonePickerScene::onAppear() {
    const QString stored =
        QString::fromStdString(m_defaults.string(kSelectedMicrophoneKey).value_or(std::string()));
    // A stored device that is no longer listed marks nothing and stays stored.
    if (!stored.isEmpty() && isListed(stored)) {
        setSelectedMicID(stored);
    }
    platform::MainQueue::post([self = QPointer<MicrophonePickerScene>(this)] {
        if (self) {
            self->placeWindow();
        }
    });
}

void MicrophonePickerScene::configureWindow(QQuickWindow* window) {
    if (window) {
        placeWindow(*window);
    }
}

void MicrophonePickerScene::placeWindow() {
    if (QQuickWindow* picker = m_router.window(kPickerWindow)) {
        placeWindow(*picker);
    }
}

void MicrophonePickerScene::placeWindow(QQuickWindow& picker) {
    const QQuickWindow* main = m_router.window(kMainWindow);
    const auto reference =
        main ? std::optional(desktop::windowFrame(*main)) : desktop::mainScreenVisibleFrame();
    if (!reference) {
        return;  // the platform's position stands
    }
    const platform::Rect current = desktop::windowFrame(picker);
    desktop::setWindowFrame(picker, pickerFrame(*reference, current.width, current.height));
}

void MicrophonePickerScene::rowClicked(const QString& id) {
    // One choice per window: a click while the card slides away would post a second answer.
    if (m_isLeaving || !isListed(id)) {
        return;
    }
    m_isLeaving = true;
    setSelectedMicID(id);
    m_defaults.setString(kSelectedMicrophoneKey, id.toStdString());
    // The chosen row stays marked for a moment before the card leaves.
    QTimer::singleShot(50ms, this, &MicrophonePickerScene::runCloseSequence);
}

void MicrophonePickerScene::runCloseSequence() {
    // The picker's own window, whatever else opened meanwhile; gone already: nothing to answer.
    QQuickWindow* picker = m_router.window(kPickerWindow);
    if (!picker) {
        return;
    }
    platform::Rect slid = desktop::windowFrame(*picker);
    slid.y += 20;
    desktop::animateWindows({{picker, slid, 0.0}}, 250ms, desktop::AnimationCurve::easeOut,
                            [self = QPointer<MicrophonePickerScene>(this)] {
                                if (self) {
                                    self->finishClosing();
                                }
                            });
}

void MicrophonePickerScene::finishClosing() {
    if (!m_router.window(kPickerWindow)) {
        return;  // closed some other way while sliding
    }
    platform::NotificationCenter::defaultCenter().post(
        QString::fromLatin1(desktop::notifications::microphoneWindowDidClose), closeUserInfo());
    leave();
}

QVariantMap MicrophonePickerScene::closeUserInfo() const {
    if (!m_selectedMicID) {
        return {};
    }
    const auto& microphones = m_viewModel->microphones();
    const auto chosen = std::ranges::find(microphones, *m_selectedMicID, &MicrophoneDevice::id);
    if (chosen == microphones.end()) {
        return {};
    }
    return {{QStringLiteral("selection"), QStringLiteral("mic")},
            {QStringLiteral("name"), chosen->name},
            {QStringLiteral("id"), chosen->id}};
}

void MicrophonePickerScene::rowHoverChanged(const QString& id, bool hovering) {
    // Entering and leaving alike; the cursor is not set back.
    setCursorShape(Qt::PointingHandCursor);
    if (hovering) {
        setHoveringMicID(id);
    } else if (m_hoveringMicID == id) {
        // A late leave of the previous row must not unmark the row now under the pointer.
        setHoveringMicID(std::nullopt);
    }
}

void MicrophonePickerScene::closeClicked() {
    if (m_isLeaving) {
        return;
    }
    m_isLeaving = true;
    setCloseButtonColor(kSystemGray);
    platform::MainQueue::post([self = QPointer<MicrophonePickerScene>(this)] {
        if (self) {
            self->leave();
        }
    });
}

void MicrophonePickerScene::dragWindow() {
    if (QQuickWindow* picker = m_router.window(kPickerWindow)) {
        desktop::startWindowDrag(*picker);
    }
}

void MicrophonePickerScene::leave() {
    m_isLeaving = true;
    m_observers.removeAll();
    m_router.dismissWindow(kPickerWindow);
}

void MicrophonePickerScene::setSelectedMicID(std::optional<QString> id) {
    if (!platform::assignIfChanged(m_selectedMicID, std::move(id))) {
        return;
    }
    m_rows.setMarks(m_selectedMicID, m_hoveringMicID);
    emit selectedMicIDChanged();
}

void MicrophonePickerScene::setHoveringMicID(std::optional<QString> id) {
    if (!platform::assignIfChanged(m_hoveringMicID, std::move(id))) {
        return;
    }
    m_rows.setMarks(m_selectedMicID, m_hoveringMicID);
    emit hoveringMicIDChanged();
}

void MicrophonePickerScene::setCloseButtonColor(const QColor& color) {
    if (!platform::assignIfChanged(m_closeButtonColor, color)) {
        return;
    }
    emit closeButtonColorChanged();
}

void MicrophonePickerScene::setCursorShape(Qt::CursorShape shape) {
    if (!platform::assignIfChanged(m_cursorShape, shape)) {
        return;
    }
    emit cursorShapeChanged();
}

bool MicrophonePickerScene::isListed(const QString& id) const {
    return std::ranges::any_of(m_viewModel->microphones(),
                               [&](const MicrophoneDevice& m) { return m.id == id; });
}

}  // namespace setup
