#include "StartRecordingScene.h"

#include "desktop/AppResources.h"
#include "desktop/WindowControl.h"
#include "platform/AssignIfChanged.h"
#include "platform/MainQueue.h"

#include <QPointer>
#include <QQuickWindow>
#include <QTimer>

namespace setup {

namespace {

const QString kMainWindow = QStringLiteral("KVWindowGroup");

// The desktop's usual "success" green, which the hover border fades from and into.
QColor systemGreen() {
    return QColor(0x34, 0xC7, 0x59);
}

}  // namespace

StartRecordingScene::StartRecordingScene(desktop::Router& router, QObject* parent)
    : QObject(parent), m_router(router) {}

QColor StartRecordingScene::windowBorderColor() const {
    return desktop::AppResources::color(QStringLiteral("light_black"));
}

QVariantList StartRecordingScene::windowBorderGradientColors() const {
    if (!m_useGradientWindowBorder) {
        return {};
    }
    QColor faded = systemGreen();
    faded.setAlphaF(0.4f);
    return {QVariant::fromValue(systemGreen()), QVariant::fromValue(faded)};
}

void StartRecordingScene::onAppear() {
    // The main window already on screen with another page is taken out of sight a turn before
    // it is moved, so it never shows at its old place at the new size. One made for this page is
    // not shown yet: it was placed at the slide's first frame and is shown right after, so it
    // slides in as it is. Hiding it would reach the window manager while it is still taking the
    // first mapping: it would withdraw the window it had just mapped, after our second show had
    // found it mapped already, and the page would never appear.
    QQuickWindow* current = m_router.window(kMainWindow);
    if (current && current->isVisible()) {
        platform::MainQueue::post([self = QPointer(this)] {
            if (!self) {
                return;
            }
            if (QQuickWindow* window = self->m_router.window(kMainWindow)) {
                desktop::setWindowAlpha(*window, 0);
                window->hide();
            }
        });
    }
    platform::MainQueue::post([self = QPointer(this)] {
        if (!self) {
            return;
        }
        if (QQuickWindow* window = self->m_router.window(kMainWindow)) {
            desktop::slideIn(*window, pageWidth, pageHeight);
        }
    });
}

void StartRecordingScene::hoverStartSession(bool entered) {
    setIsHoveringStartSession(entered);
    if (!entered) {
        setCursorShape(Qt::ArrowCursor);
        setUseGradientWindowBorder(false);
        return;
    }
    // Every entry gets its own step, and each looks at the pointer when it runs: a pointer that
    // left and came back within the delay is still resting on the card.
    QTimer::singleShot(hoverDelay, this, [this] {
        if (!m_isHoveringStartSession) {
            return;
        }
        setCursorShape(Qt::PointingHandCursor);
        setUseGradientWindowBorder(true);
    });
}

void StartRecordingScene::startSession() {
    // Dismissing the main window takes this page with it; the router outlives both.
    desktop::Router& router = m_router;
    router.setPage(desktop::PagesEnum::prepareSession);
    router.dismissWindow(kMainWindow);
    router.openWindow(kMainWindow);
}

void StartRecordingScene::startWindowDrag() {
    if (QQuickWindow* window = m_router.window(kMainWindow)) {
        desktop::startWindowDrag(*window);
    }
}

void StartRecordingScene::setIsHoveringStartSession(bool value) {
    if (!platform::assignIfChanged(m_isHoveringStartSession, value)) {
        return;
    }
    emit isHoveringStartSessionChanged();
}

void StartRecordingScene::setUseGradientWindowBorder(bool value) {
    if (!platform::assignIfChanged(m_useGradientWindowBorder, value)) {
        return;
    }
    emit useGradientWindowBorderChanged();
}

void StartRecordingScene::setCursorShape(Qt::CursorShape shape) {
    if (!platform::assignIfChanged(m_cursorShape, shape)) {
        return;
    }
    emit cursorShapeChanged();
}

}  // namespace setup
