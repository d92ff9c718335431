#pragma once

#include "desktop/Router.h"
#include "platform/ScreenContent.h"

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QPointer>
#include <QQuickWindow>
#include <QStringList>

#include <chrono>

namespace session {

// InactivityReminderViewModel: the prompts that nudge a silent trader to think out loud, and the
// one this window shows. Drawn once when the window's logic is made, so every reminder may show
// a different prompt, and the same one twice in a row is as likely as any other.
class InactivityReminderViewModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    Q_PROPERTY(QString prompt READ prompt CONSTANT)

  public:
    explicit InactivityReminderViewModel(QObject* parent = nullptr);

    static const QStringList& prompts();
    const QString& prompt() const { return m_prompt; }

  private:
    QString m_prompt;
};

// InactivityReminderScene: the small card in the bottom-right corner that shows one prompt and
// goes away by itself. It takes no input and never takes the keyboard from the trading platform.
class InactivityReminderScene : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    Q_PROPERTY(session::InactivityReminderViewModel* viewModel READ viewModel CONSTANT)

  public:
    static constexpr double width = 234;
    static constexpr double height = 134;
    static constexpr std::chrono::milliseconds autoCloseDelay{5000};

    explicit InactivityReminderScene(desktop::Router& router, QObject* parent = nullptr);

    InactivityReminderViewModel* viewModel() { return &m_viewModel; }

    // Where the reminder goes in a visible frame (y down): its bottom-right corner.
    static platform::Rect reminderFrame(const platform::Rect& visibleFrame);

    // The window that hosts this reminder, before it is first shown.
    Q_INVOKABLE void configureWindow(QQuickWindow* window);
    // Once shown: to the front, into the corner, and closed again after autoCloseDelay.
    Q_INVOKABLE void onAppear();

  private:
    // The reminder scene's window while it is still this reminder's; null once a newer
    // reminder took the scene over or the window is gone.
    QQuickWindow* ownWindow() const;
    void placeReminderWindow();
    void closeReminderWindow();

    desktop::Router& m_router;
    InactivityReminderViewModel m_viewModel;
    QPointer<QQuickWindow> m_window;
};

}  // namespace session
