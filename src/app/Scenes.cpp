#include "Scenes.h"

#include "SceneManager.h"

#include "desktop/WindowControl.h"
#include "desktop/WindowPlacement.h"
#include "platform/MainQueue.h"

#include <QQuickItem>
#include <QQuickWindow>

#include <algorithm>
#include <cmath>

namespace app {

LaunchScene::LaunchScene(std::shared_ptr<api::SignInProtocol> signInRepo,
                         std::shared_ptr<platform::Reachability> reachability,
                         desktop::Router& router, std::function<void()> centerLaunchWindow,
                         platform::DefaultsStore& defaults, QObject* parent)
    : QObject(parent),
      m_viewModel(std::move(signInRepo), defaults),
      m_flow(m_viewModel, std::move(reachability), router, defaults),
      m_centerLaunchWindow(std::move(centerLaunchWindow)) {}

void LaunchScene::onAppear() {
    if (m_centerLaunchWindow) {
        // Not tied to this scene: the sizing runs even when the launch window is gone by then.
        platform::MainQueue::postAfter(std::chrono::milliseconds(50), m_centerLaunchWindow);
    }
    m_flow.onAppear();
}

void LaunchScene::configureWindow(QQuickWindow* window) {
    if (window) {
        centerLaunchWindow(*window);
    }
}

void centerLaunchWindow(const SceneManager& scenes) {
    QQuickWindow* window = scenes.keyWindow();
    if (!window) {
        window = scenes.mainWindow();
    }
    if (!window) {
        window = scenes.lastWindow();
    }
    if (window) {
        centerLaunchWindow(*window);
    }
}

void centerLaunchWindow(QQuickWindow& window) {
    // The content's fitting size: what the window's top-level view asks for.
    double fittingWidth = 0;
    double fittingHeight = 0;
    const auto children = window.contentItem()->childItems();
    if (!children.isEmpty()) {
        fittingWidth = children.front()->implicitWidth();
        fittingHeight = children.front()->implicitHeight();
    }
    const auto visible = desktop::mainScreenVisibleFrame();
    platform::Rect frame = desktop::centeredLaunchFrame(visible.value_or(platform::Rect{}),
                                                        fittingWidth, fittingHeight);
    // A window of a fixed size (the sign-in window, when it is the one found) keeps it.
    const double width =
        std::clamp(frame.width, double(window.minimumWidth()), double(window.maximumWidth()));
    const double height =
        std::clamp(frame.height, double(window.minimumHeight()), double(window.maximumHeight()));
    if (!visible) {
        window.resize(int(std::lround(width)), int(std::lround(height)));
        return;
    }
    if (width != frame.width || height != frame.height) {
        frame = desktop::centeredFrame(*visible, width, height);
    }
    window.setGeometry(int(std::lround(frame.x)), int(std::lround(frame.y)),
                       int(std::lround(frame.width)), int(std::lround(frame.height)));
}

LoginScene::LoginScene(std::shared_ptr<api::SignInProtocol> signInRepo, const QString& webBaseURL,
                       desktop::Router& router, platform::DefaultsStore& defaults, QObject* parent)
    : QObject(parent),
      m_viewModel(std::move(signInRepo), defaults),
      m_logic(m_viewModel, webBaseURL, router) {}

}  // namespace app
