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
                         LaunchFlow::Actions actions, std::function<void()> centerLaunchWindow,
                         platform::DefaultsStore& defaults, QObject* parent)
    : QObject(parent),
      m_viewModel(std::move(signInRepo), defaults),
      m_flow(m_viewModel, std::move(reachability), std::move(actions), defaults),
      m_centerLaunchWindow(std::move(centerLaunchWindow)) {}

void LaunchScene::onAppear() {
    if (m_centerLaunchWindow) {
        // Not tied to this scene: the sizing runs even when the launch window is gone by then.
        platform::MainQueue::postAfter(std::chrono::milliseconds(50), m_centerLaunchWindow);
    }
    m_flow.onAppear();
}

void centerLaunchWindow(const SceneManager& scenes) {
    QQuickWindow* window = scenes.keyWindow();
    if (!window) {
        window = scenes.mainWindow();
    }
    if (!window) {
        window = scenes.lastWindow();
    }
    if (!window) {
        return;
    }
    // The content's fitting size: what the window's top-level view asks for.
    double fittingWidth = 405;
    double fittingHeight = 350;
    const auto children = window->contentItem()->childItems();
    if (!children.isEmpty()) {
        fittingWidth = std::max(children.front()->implicitWidth(), 405.0);
        fittingHeight = std::max(children.front()->implicitHeight(), 350.0);
    }
    // A window of a fixed size (the sign-in window, when it is the one found) keeps it.
    fittingWidth =
        std::clamp(fittingWidth, double(window->minimumWidth()), double(window->maximumWidth()));
    fittingHeight =
        std::clamp(fittingHeight, double(window->minimumHeight()), double(window->maximumHeight()));
    const auto visible = desktop::mainScreenVisibleFrame();
    if (!visible) {
        window->resize(int(std::lround(fittingWidth)), int(std::lround(fittingHeight)));
        return;
    }
    const platform::Rect frame = desktop::centeredFrame(*visible, fittingWidth, fittingHeight);
    window->setGeometry(int(std::lround(frame.x)), int(std::lround(frame.y)),
                        int(std::lround(frame.width)), int(std::lround(frame.height)));
}

LoginScene::LoginScene(std::shared_ptr<api::SignInProtocol> signInRepo, const QString& webBaseURL,
                       LoginViewLogic::Actions actions, platform::DefaultsStore& defaults,
                       QObject* parent)
    : QObject(parent),
      m_viewModel(std::move(signInRepo), defaults),
      m_logic(m_viewModel, webBaseURL, std::move(actions)) {}

}  // namespace app
