#include "SceneManager.h"

#include "desktop/Notifications.h"
#include "desktop/WindowControl.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"

#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QSurfaceFormat>

namespace app {

namespace {
constexpr const char* kDismissedProperty = "korvaneDismissed";
}

bool SceneManager::isDismissed(const QObject* window) {
    return window && window->property(kDismissedProperty).toBool();
}

SceneManager::SceneManager(QQmlEngine& engine, QObject* parent)
    : QObject(parent), m_engine(engine) {}

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

void SceneManager::registerScene(desktop::SceneRegistration registration) {
    const QString identifier = registration.identifier;
    delete m_components.take(identifier);
    m_registrations.insert(identifier, std::move(registration));
}

bool SceneManager::isRegistered(const QString& identifier) const {
    return m_registrations.contains(identifier);
}

QQmlComponent* SceneManager::component(const desktop::SceneRegistration& registration) {
    if (auto* cached = m_components.value(registration.identifier)) {
        return cached;
    }
    auto* made =
        new QQmlComponent(&m_engine, registration.component, QQmlComponent::PreferSynchronous);
    if (made->isError()) {
        qWarning("Scene %s did not load: %s", qPrintable(registration.identifier),
                 qPrintable(made->errorString()));
        delete made;
        return nullptr;
    }
    m_components.insert(registration.identifier, made);
    return made;
}

QQuickWindow* SceneManager::create(const desktop::SceneRegistration& registration) {
    QQmlComponent* scene = component(registration);
    if (!scene) {
        return nullptr;
    }
    QObject* model = registration.makeModel ? registration.makeModel() : nullptr;
    QVariantMap properties;
    if (model) {
        QQmlEngine::setObjectOwnership(model, QQmlEngine::CppOwnership);
        properties.insert(QStringLiteral("model"), QVariant::fromValue(model));
    }
    QObject* object = scene->createWithInitialProperties(properties, m_engine.rootContext());
    auto* made = qobject_cast<QQuickWindow*>(object);
    if (!made) {
        qWarning("Scene %s is not a window: %s", qPrintable(registration.identifier),
                 qPrintable(scene->errorString()));
        delete object;
        delete model;
        return nullptr;
    }
    QQmlEngine::setObjectOwnership(made, QQmlEngine::CppOwnership);
    if (model) {
        // The window's logic lives exactly as long as its window.
        model->setParent(made);
    }
    return made;
}

bool SceneManager::openWindow(const QString& identifier) {
    const auto registration = m_registrations.constFind(identifier);
    if (registration == m_registrations.cend()) {
        qWarning("No scene named %s", qPrintable(identifier));
        return false;
    }
    if (QQuickWindow* open = window(identifier)) {
        open->show();
        open->raise();
        if (registration->takesFocus) {
            open->requestActivate();
        }
        return true;
    }
    QQuickWindow* made = create(*registration);
    if (!made) {
        return false;
    }
    applyModifiers(*registration, *made);
    m_scenes.append({identifier, made});

    // The user's close button takes the window away for good, as dismissing it does.
    made->installEventFilter(this);
    connect(made, &QWindow::activeChanged, this, [this, made] {
        if (made->isActive()) {
            m_lastActive = made;
        }
    });
    made->show();
    if (registration->takesFocus) {
        made->requestActivate();
    }
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

void SceneManager::applyModifiers(const desktop::SceneRegistration& registration,
                                  QQuickWindow& window) {
    if (!registration.takesFocus) {
        window.setFlag(Qt::WindowDoesNotAcceptFocus, true);
    }
    if (!registration.titled) {
        desktop::setTitled(window, false);
        if (window.color().alpha() < 255) {
            // A clear window needs an alpha channel, or a compositor fills the corners of its
            // round card in black; without a compositor they stay dark either way.
            QSurfaceFormat format = window.format();
            format.setAlphaBufferSize(8);
            window.setFormat(format);
        }
        desktop::setWindowLevel(window, registration.level);
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
    platform::NotificationCenter::defaultCenter().post(
        QString::fromLatin1(desktop::notifications::windowWillClose),
        {{QStringLiteral("identifier"), identifier}});
    if (window(identifier) != target) {
        return;  // an observer dismissed it already
    }
    letGo(identifier);
    target->hide();
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
    platform::NotificationCenter::defaultCenter().post(
        QString::fromLatin1(desktop::notifications::windowWillClose),
        {{QStringLiteral("identifier"), identifier}});
    letGo(identifier);
    emit windowDismissed(identifier);
    if (m_scenes.isEmpty()) {
        emit lastWindowClosed();
    }
}

void SceneManager::letGo(const QString& identifier) {
    QPointer<QQuickWindow> target = window(identifier);
    m_scenes.removeIf([&](const Scene& scene) { return scene.identifier == identifier; });
    if (target) {
        target->setProperty(kDismissedProperty, true);
        target->disconnect(this);
        target->removeEventFilter(this);
        // Later: the window may be dismissing itself from one of its own handlers.
        target->deleteLater();
    }
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
