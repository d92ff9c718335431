#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWindow>

class QQmlComponent;
class QQmlEngine;
class QQuickWindow;

namespace app {

// The application's windows, one per scene identifier, each a QML Window component. Windows are
// opened and dismissed by identifier; opening one that is already open brings it to the front.
class SceneManager : public QObject {
    Q_OBJECT

  public:
    // Scene files are "<identifier>.qml" under sceneFolder.
    explicit SceneManager(QQmlEngine& engine,
                          QUrl sceneFolder = QUrl(QStringLiteral("qrc:/korvane/app/scenes/")),
                          QObject* parent = nullptr);
    ~SceneManager() override;

    // The nine scenes, in declaration order.
    static const QStringList& sceneIdentifiers();
    // Every scene but the sign-in window floats above other windows without a title bar.
    static bool isFloatingScene(const QString& identifier);

    // Main thread. False (and logged) for an unknown identifier or a scene that did not load.
    Q_INVOKABLE bool openWindow(const QString& identifier);
    Q_INVOKABLE void dismissWindow(const QString& identifier);

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

    QQmlComponent* component(const QString& identifier);
    void applyModifiers(const QString& identifier, QQuickWindow& window);
    void forget(const QString& identifier);
    void closedByUser(const QString& identifier);

    QQmlEngine& m_engine;
    QUrl m_sceneFolder;
    QHash<QString, QQmlComponent*> m_components;
    QList<Scene> m_scenes;  // creation order
    QPointer<QQuickWindow> m_lastActive;
};

}  // namespace app
