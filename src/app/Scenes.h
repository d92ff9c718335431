#pragma once

#include "LaunchViewModel.h"
#include "LogInViewModel.h"
#include "LoginViewLogic.h"

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QQuickWindow>

#include <functional>
#include <memory>

namespace app {

class SceneManager;

// What the launch window's view drives: its view model and the launch decision.
class LaunchScene : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")

  public:
    LaunchScene(std::shared_ptr<api::SignInProtocol> signInRepo,
                std::shared_ptr<platform::Reachability> reachability, desktop::Router& router,
                std::function<void()> centerLaunchWindow, platform::DefaultsStore& defaults,
                QObject* parent = nullptr);

    LaunchViewModel& viewModel() { return m_viewModel; }
    LaunchFlow& flow() { return m_flow; }

    // Before the window is first shown: its first frame is where it belongs, centred.
    Q_INVOKABLE void configureWindow(QQuickWindow* window);
    // The window appeared: its deferred sizing, then the launch decision.
    Q_INVOKABLE void onAppear();

  private:
    LaunchViewModel m_viewModel;
    LaunchFlow m_flow;
    std::function<void()> m_centerLaunchWindow;
};

// The launch window's sizing, 0.05 s after it appeared: the key window (else the main one, else
// the last one opened) at least 405 x 350, centred in the main screen's visible frame.
void centerLaunchWindow(const SceneManager& scenes);
void centerLaunchWindow(QQuickWindow& window);

// What a sign-in view drives: its view model and its own logic.
class LoginScene : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    Q_PROPERTY(app::LogInViewModel* viewModel READ viewModel CONSTANT)
    Q_PROPERTY(app::LoginViewLogic* logic READ logic CONSTANT)

  public:
    LoginScene(std::shared_ptr<api::SignInProtocol> signInRepo, const QString& webBaseURL,
               desktop::Router& router, platform::DefaultsStore& defaults,
               QObject* parent = nullptr);

    LogInViewModel* viewModel() { return &m_viewModel; }
    LoginViewLogic* logic() { return &m_logic; }

  private:
    LogInViewModel m_viewModel;
    LoginViewLogic m_logic;
};

}  // namespace app
