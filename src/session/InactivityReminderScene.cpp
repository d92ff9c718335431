#include "InactivityReminderScene.h"

#include "desktop/WindowControl.h"
#include "desktop/WindowPlacement.h"

#include <QRandomGenerator>
#include <QTimer>

namespace session {

namespace {
const QString kReminderWindow = QStringLiteral("InactivityReminderWindow");
}  // namespace

InactivityReminderViewModel::InactivityReminderViewModel(QObject* parent) : QObject(parent) {
    const QStringList& all = prompts();
    // The system's source and an unbiased bounded draw: every prompt equally likely.
    m_prompt = all.at(int(QRandomGenerator::system()->bounded(quint32(all.size()))));
}

const QStringList& InactivityReminderViewModel::prompts() {
    // Trailing blanks and em dashes are part of the texts.
    static const QStringList list{
        QStringLiteral("Hey, still there? Don't forget to share what you're thinking! "),
        QStringLiteral("Quick check-in: What's your read on the market right now?"),
        QStringLiteral("Your AI is listening \u2014 what are you seeing?"),
        QStringLiteral("Quiet moment? Share your thoughts when you're ready!"),
        QStringLiteral("Thinking something? Say it out loud for your notes"),
        QStringLiteral("Been a few minutes \u2014 what's on your mind? "),
        QStringLiteral("Spotted something? Walk us through it!"),
        QStringLiteral("Your future self wants to know what you're thinking right now"),
        QStringLiteral("No audio detected. Verbalize your analysis."),
        QStringLiteral("Reminder: Speak your thought process"),
        QStringLiteral("Continue narrating for complete session summary"),
    };
    return list;
}

InactivityReminderScene::InactivityReminderScene(desktop::Router& router, QObject* parent)
    : QObject(parent), m_router(router) {}

platform::Rect InactivityReminderScene::reminderFrame(const platform::Rect& visibleFrame) {
    return desktop::bottomRightFrame(visibleFrame, width, height);
}

void InactivityReminderScene::configureWindow(QQuickWindow* window) {
    if (!window) {
        return;
    }
    m_window = window;
    window->setTitle(kReminderWindow);
    window->setObjectName(kReminderWindow);
    desktop::setWindowAlpha(*window, 1.0);
    // Shown at once in its corner, not first wherever the window manager would put it.
    desktop::placeBottomRight(*window, width, height, /*animated=*/false);
    // Joining every workspace, staying over full-screen windows and staying up while another
    // application is active come with the session level the scene is registered at; the
    // collection behaviours that go with them on other systems have no X11 counterpart.
}

void InactivityReminderScene::onAppear() {
    if (QQuickWindow* window = ownWindow()) {
        // Raised without activation: the trader's keyboard stays where it is.
        window->raise();
    }
    // After the current layout pass, once the window manager has mapped the window.
    QTimer::singleShot(0, this, &InactivityReminderScene::placeReminderWindow);
    // Tied to this reminder: when it goes earlier, so does its close, and a close that comes due
    // after a newer reminder took over the scene leaves that one alone.
    QTimer::singleShot(autoCloseDelay, this, &InactivityReminderScene::closeReminderWindow);
}

QQuickWindow* InactivityReminderScene::ownWindow() const {
    QQuickWindow* open = m_router.window(kReminderWindow);
    return open && open == m_window ? open : nullptr;
}

void InactivityReminderScene::placeReminderWindow() {
    if (QQuickWindow* window = ownWindow()) {
        desktop::placeBottomRight(*window, width, height, /*animated=*/true);
    }
}

void InactivityReminderScene::closeReminderWindow() {
    if (ownWindow()) {
        m_router.dismissWindow(kReminderWindow);
    }
}

}  // namespace session
