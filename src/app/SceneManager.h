#pragma once

#include "desktop/SceneRegistration.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWindow>

class QQmlComponent;
class QQmlEngine;
class QQuickWindow;

namespace app {

// The application's windows, one per registered scene, each a QML Window component created with
// its logic object as the typed "model" property. Windows are opened and dismissed by identifier;
// opening one that is already open brings it to the front.
class SceneManager : public QObject {
    Q_OBJECT

  public:
    explicit SceneManager(QQmlEngine& engine, QObject* parent = nullptr);
    ~SceneManager() override;

    // The nine scenes of the application, in declaration order.
    static const QStringList& sceneIdentifiers();

    // Main thread, before the scene is first opened. A second registration of an identifier
    // replaces the first.
    void registerScene(desktop::SceneRegistration registration);
    bool isRegistered(const QString& identifier) const;

    // Main thread. False (and logged) for an unknown identifier or a scene that did not load.
    bool openWindow(const QString& identifier);
    // Posts the window's will-close notification, then lets it go.
    void dismissWindow(const QString& identifier);

    // True once a window was dismissed or closed, while it waits to be deleted.
    static bool isDismissed(const QObject* window);

    QQuickWindow* window(const QString& identifier) const;
    QString identifierOf(const QWindow* window) const;
    // The open windows in the order they were created.
    QList<QQuickWindow*> windows() const;
    // The window with keyboard focus, if it is one of ours.
    QQuickWindow* keyWindow() const;
    // The key window, else the one that was active last and is still shown.
    QQuickWindow* mainWindow() const;
    QQuickWindow* lastWindow() const;

  signals:
    void windowOpened(const QString& identifier);
    void windowDismissed(const QString& identifier);
    // The user closed the last open window.
    void lastWindowClosed();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    struct Scene {
        QString identifier;
        QPointer<QQuickWindow> window;
    };

    QQmlComponent* component(const desktop::SceneRegistration& registration);
    QQuickWindow* create(const desktop::SceneRegistration& registration);
    void applyModifiers(const desktop::SceneRegistration& registration, QQuickWindow& window);
    void letGo(const QString& identifier);
    void closedByUser(const QString& identifier);

    QQmlEngine& m_engine;
    QHash<QString, desktop::SceneRegistration> m_registrations;
    QHash<QString, QQmlComponent*> m_components;
    QList<Scene> m_scenes;  // creation order
    QPointer<QQuickWindow> m_lastActive;
};

}  // namespace app
