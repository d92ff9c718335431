#include "SourcePickerScene.h"

#include "desktop/Notifications.h"
#include "desktop/WindowControl.h"
#include "platform/AssignIfChanged.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"

#include <QPointer>
#include <QQuickWindow>

#include <chrono>
#include <functional>

namespace setup {

namespace {
const QString kSourcePickerWindow = QStringLiteral("SourcePickerWindow");
const QString kMainWindow = QStringLiteral("KVWindowGroup");
// Long enough for the trader to see the card take the choice before the panel goes.
constexpr std::chrono::milliseconds kCloseAfterChoice{300};
}  // namespace

QString rawValue(SelectedSource source) {
    switch (source) {
        case SelectedSource::fullScreen:
            return QStringLiteral("fullScreen");
        case SelectedSource::specificWindow:
            return QStringLiteral("specificWindow");
    }
    return {};
}

std::optional<SelectedSource> selectedSourceFor(
    const std::optional<recording::SelectedContentInfo>& content) {
    if (!content) {
        return std::nullopt;
    }
    switch (content->kind) {
        case recording::SelectedContentInfo::Kind::window:
            return SelectedSource::specificWindow;
        case recording::SelectedContentInfo::Kind::display:
            return SelectedSource::fullScreen;
        case recording::SelectedContentInfo::Kind::unknown:
            break;
    }
    return std::nullopt;
}

QString selectionTitle(const recording::SelectedContentInfo& content) {
    using Kind = recording::SelectedContentInfo::Kind;
    switch (content.kind) {
        case Kind::window:
            if (content.name && !content.name->empty()) {
                return QString::fromStdString(*content.name);
            }
            if (content.bundleIdentifier) {
                return QStringLiteral("Window (") +
                       QString::fromStdString(*content.bundleIdentifier) + QLatin1Char(')');
            }
            return QStringLiteral("Window");
        case Kind::display:
            if (content.displayID) {
                return QStringLiteral("Display #") + QString::number(*content.displayID);
            }
            return QStringLiteral("Display");
        case Kind::unknown:
            break;
    }
    return QStringLiteral("Selection");
}

QString selectionSymbol(const recording::SelectedContentInfo& content) {
    switch (content.kind) {
        case recording::SelectedContentInfo::Kind::window:
            return QStringLiteral("macwindow");
        case recording::SelectedContentInfo::Kind::display:
            return QStringLiteral("display");
        case recording::SelectedContentInfo::Kind::unknown:
            break;
    }
    return QStringLiteral("questionmark.circle");
}

SourcePickerScene::SourcePickerScene(desktop::Router& router,
                                     std::shared_ptr<recording::ScreenRecorder> recorder,
                                     QObject* parent)
    : QObject(parent),
      m_router(router),
      m_recorder(std::move(recorder)),
      m_lastContentInfo(m_recorder->selectedContentInfo()) {
    connect(m_recorder.get(), &recording::ScreenRecorder::selectedContentInfoChanged, this,
            &SourcePickerScene::recorderSelectionChanged);
}

platform::Rect SourcePickerScene::panelFrame(const platform::Rect& reference, double width,
                                             double height) {
    const double referenceBottom = reference.y + reference.height;
    return {reference.x + reference.width - width - 425, referenceBottom - 120 - height, width,
            height};
}

QString SourcePickerScene::selectionTitleText() const {
    const auto& content = m_recorder->selectedContentInfo();
    return content ? selectionTitle(*content) : QString();
}

QString SourcePickerScene::selectionSymbolName() const {
    const auto& content = m_recorder->selectedContentInfo();
    return content ? selectionSymbol(*content) : QString();
}

void SourcePickerScene::onAppear() {
    // The window is shown by now but may not have its final size; place it on the next turn.
    platform::MainQueue::post([self = QPointer<SourcePickerScene>(this)] {
        if (self) {
            self->placeSourcePickerWindow();
        }
    });
    m_lastContentInfo = m_recorder->selectedContentInfo();
    setSelectedSource(selectedSourceFor(m_lastContentInfo));
}

void SourcePickerScene::configureWindow(QQuickWindow* window) {
    if (window) {
        placeSourcePickerWindow(*window);
    }
}

void SourcePickerScene::placeSourcePickerWindow() {
    if (QQuickWindow* window = m_router.window(kSourcePickerWindow)) {
        placeSourcePickerWindow(*window);
    }
}

void SourcePickerScene::placeSourcePickerWindow(QQuickWindow& window) {
    std::optional<platform::Rect> reference;
    if (QQuickWindow* mainWindow = m_router.window(kMainWindow)) {
        reference = desktop::windowFrame(*mainWindow);
    } else {
        reference = desktop::mainScreenVisibleFrame();
    }
    if (!reference) {
        return;
    }
    const platform::Rect own = desktop::windowFrame(window);
    desktop::setWindowFrame(window, panelFrame(*reference, own.width, own.height));
}

void SourcePickerScene::setHoveringFullScreen(bool hovering) {
    changeHighlights([&] { m_isHoveringFullScreen = hovering; });
}

void SourcePickerScene::setHoveringSpecificWindow(bool hovering) {
    changeHighlights([&] { m_isHoveringSpecificWindow = hovering; });
}

void SourcePickerScene::changeHighlights(const std::function<void()>& change) {
    // The highlights derive from the hover flags and the mark: read them before the change is
    // stored, or the comparison below always finds them equal and the cards never light up.
    const bool fullScreenWas = fullScreenHighlighted();
    const bool specificWindowWas = specificWindowHighlighted();
    change();
    if (fullScreenWas != fullScreenHighlighted()) {
        emit fullScreenHighlightedChanged();
    }
    if (specificWindowWas != specificWindowHighlighted()) {
        emit specificWindowHighlightedChanged();
    }
}

void SourcePickerScene::selectSource(SelectedSource source) {
    m_recorder->presentContentPicker(source == SelectedSource::fullScreen);
    // Marked at once, before anything is picked: the card answers the click.
    setSelectedSource(source);
    postDidSelect(source);
}

void SourcePickerScene::close() {
    m_router.dismissWindow(kSourcePickerWindow);
}

void SourcePickerScene::recorderSelectionChanged() {
    const auto& current = m_recorder->selectedContentInfo();
    if (current == m_lastContentInfo) {
        return;
    }
    m_lastContentInfo = current;
    emit selectionChanged();
    setSelectedSource(selectedSourceFor(current));
    if (m_selectedSource) {
        postDidSelect(*m_selectedSource);
    }
    if (current) {
        platform::MainQueue::postAfter(kCloseAfterChoice,
                                       [self = QPointer<SourcePickerScene>(this)] {
                                           if (self) {
                                               self->close();
                                           }
                                       });
    }
}

void SourcePickerScene::setSelectedSource(std::optional<SelectedSource> source) {
    if (m_selectedSource == source) {
        return;
    }
    changeHighlights([&] { m_selectedSource = source; });
    emit selectedSourceChanged();
}

void SourcePickerScene::postDidSelect(SelectedSource source) {
    platform::NotificationCenter::defaultCenter().post(
        QString::fromLatin1(desktop::notifications::sourcePickerDidSelect),
        {{QStringLiteral("selectedSource"), rawValue(source)}});
}

}  // namespace setup
