#include "SceneManager.h"

#include "desktop/WindowControl.h"
#include "platform/MainQueue.h"

#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>

namespace app {

namespace {
const QString kLoginScene = QStringLiteral("LoginWindowGroup");
}

SceneManager::SceneManager(QQmlEngine& engine, QUrl sceneFolder, QObject* parent)
    : QObject(parent), m_engine(engine), m_sceneFolder(std::move(sceneFolder)) {}

SceneManager::~SceneManager() {
    for (const Scene& scene : std::as_const(m_scenes)) {
        delete scene.window.data();
    }
    qDeleteAll(m_components);
}

const QStringList& SceneManager::sceneIdentifiers() {
    static const QStringList identifiers{
        QStringLiteral("LaunchViewGroup"),
        QStringLiteral("LoginWindowGroup"),
        QStringLiteral("KVWindowGroup"),
        QStringLiteral("SourcePickerWindow"),
        QStringLiteral("MicrophoneWindow"),
        QStringLiteral("Countdown"),
        QStringLiteral("InactivityReminderWindow"),
        QStringLiteral("RecordingBarGroup"),
        QStringLiteral("CollectingInformationGroup"),
    };
    return identifiers;
}

bool SceneManager::isFloatingScene(const QString& identifier) {
    return identifier != kLoginScene && sceneIdentifiers().contains(identifier);
}

QQmlComponent* SceneManager::component(const QString& identifier) {
    if (auto* cached = m_components.value(identifier)) {
        return cached;
    }
    auto* made = new QQmlComponent(
        &m_engine, m_sceneFolder.resolved(QUrl(identifier + QStringLiteral(".qml"))),
        QQmlComponent::PreferSynchronous);
    if (made->isError()) {
        qWarning("Scene %s did not load: %s", qPrintable(identifier),
                 qPrintable(made->errorString()));
        delete made;
        return nullptr;
    }
    m_components.insert(identifier, made);
    return made;
}

bool SceneManager::openWindow(const QString& identifier) {
    if (!sceneIdentifiers().contains(identifier)) {
        qWarning("No scene named %s", qPrintable(identifier));
        return false;
    }
    if (QQuickWindow* open = window(identifier)) {
        open->show();
        open->raise();
        open->requestActivate();
        return true;
    }
    QQmlComponent* scene = component(identifier);
    if (!scene) {
        return false;
    }
    QObject* object = scene->create(m_engine.rootContext());
    auto* made = qobject_cast<QQuickWindow*>(object);
    if (!made) {
        qWarning("Scene %s is not a window: %s", qPrintable(identifier),
                 qPrintable(scene->errorString()));
        delete object;
        return false;
    }
    QQmlEngine::setObjectOwnership(made, QQmlEngine::CppOwnership);
    applyModifiers(identifier, *made);
    m_scenes.append({identifier, made});

    // The user's close button takes the window away for good, as dismissing it does.
    made->installEventFilter(this);
    connect(made, &QWindow::activeChanged, this, [this, made] {
        if (made->isActive()) {
            m_lastActive = made;
        }
    });
    made->show();
    made->requestActivate();
    emit windowOpened(identifier);

    // Like a view's appearance: after the window is shown, never from inside the call that opened
    // it, so what a window does on appearing (open or dismiss others) cannot reenter this one.
    QPointer<QQuickWindow> shown(made);
    platform::MainQueue::post([shown] {
        if (shown && shown->metaObject()->indexOfSignal("appeared()") >= 0) {
            QMetaObject::invokeMethod(shown, "appeared");
        }
    });
    return true;
}

void SceneManager::applyModifiers(const QString& identifier, QQuickWindow& window) {
    if (isFloatingScene(identifier)) {
        desktop::setTitled(window, false);
        desktop::setWindowLevel(window, desktop::WindowLevel::floating);
        return;
    }
    // The sign-in window: an ordinary titled window, exactly as large as its content.
    desktop::setTitled(window, true);
    desktop::setWindowLevel(window, desktop::WindowLevel::normal);
    const QSize size = window.size();
    window.setMinimumSize(size);
    window.setMaximumSize(size);
}

void SceneManager::dismissWindow(const QString& identifier) {
    QPointer<QQuickWindow> target = window(identifier);
    if (!target) {
        return;
    }
    forget(identifier);
    target->disconnect(this);
    target->removeEventFilter(this);
    target->hide();
    // Later: the window may be dismissing itself from one of its own handlers.
    target->deleteLater();
    emit windowDismissed(identifier);
}

bool SceneManager::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Close) {
        const QString identifier = identifierOf(qobject_cast<QWindow*>(watched));
        if (!identifier.isEmpty()) {
            // Closing goes on as usual; the window is let go once it has.
            platform::MainQueue::post([self = QPointer<SceneManager>(this), identifier] {
                if (self) {
                    self->closedByUser(identifier);
                }
            });
        }
    }
    return QObject::eventFilter(watched, event);
}

void SceneManager::closedByUser(const QString& identifier) {
    QPointer<QQuickWindow> target = window(identifier);
    if (!target || target->isVisible()) {
        return;  // gone already, or the close was refused
    }
    forget(identifier);
    target->disconnect(this);
    target->removeEventFilter(this);
    target->deleteLater();
    emit windowDismissed(identifier);
    if (m_scenes.isEmpty()) {
        emit lastWindowClosed();
    }
}

void SceneManager::forget(const QString& identifier) {
    m_scenes.removeIf([&](const Scene& scene) { return scene.identifier == identifier; });
}

QQuickWindow* SceneManager::window(const QString& identifier) const {
    for (const Scene& scene : m_scenes) {
        if (scene.identifier == identifier) {
            return scene.window;
        }
    }
    return nullptr;
}

QString SceneManager::identifierOf(const QWindow* window) const {
    for (const Scene& scene : m_scenes) {
        if (scene.window == window) {
            return scene.identifier;
        }
    }
    return {};
}

QList<QQuickWindow*> SceneManager::windows() const {
    QList<QQuickWindow*> list;
    for (const Scene& scene : m_scenes) {
        if (scene.window) {
            list.append(scene.window);
        }
    }
    return list;
}

QQuickWindow* SceneManager::keyWindow() const {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        return nullptr;
    }
    QWindow* focus = QGuiApplication::focusWindow();
    return identifierOf(focus).isEmpty() ? nullptr : static_cast<QQuickWindow*>(focus);
}

QQuickWindow* SceneManager::mainWindow() const {
    if (QQuickWindow* key = keyWindow()) {
        return key;
    }
    if (m_lastActive && m_lastActive->isVisible() && !identifierOf(m_lastActive).isEmpty()) {
        return m_lastActive;
    }
    return nullptr;
}

QQuickWindow* SceneManager::lastWindow() const {
    const auto list = windows();
    return list.isEmpty() ? nullptr : list.back();
}

}  // namespace app
