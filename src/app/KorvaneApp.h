#pragma once

#include "KorvaneComposition.h"
#include "Navigation.h"
#include "SceneManager.h"

#include <QObject>
#include <QUrl>

#include <functional>
#include <memory>

class QQmlEngine;

namespace app {

// The composition root as the windows see it: the main window's page, the scenes, and the view
// controllers each scene builds when it is created.
class KorvaneApp : public QObject {
    Q_OBJECT
    Q_PROPERTY(app::Navigation* navigation READ navigationObject CONSTANT)

  public:
    using UrlOpener = std::function<void(const QString& url)>;

    // Sets "korvaneApp" on the engine's root context.
    KorvaneApp(KorvaneComposition& composition, QQmlEngine& engine,
               platform::DefaultsStore& defaults = platform::DefaultsStore::standard(),
               QUrl sceneFolder = QUrl(QStringLiteral("qrc:/korvane/app/scenes/")),
               QObject* parent = nullptr);
    ~KorvaneApp() override;

    // The first scene: the launch window decides where to go next.
    void start();

    SceneManager& scenes() { return *m_scenes; }
    Navigation& navigation() { return m_navigation; }
    Navigation* navigationObject() { return &m_navigation; }
    // The default browser unless a test puts something else in its place.
    void setUrlOpener(UrlOpener opener) { m_openUrl = std::move(opener); }

    // Owned by owner; each call builds a new sign-in repository.
    Q_INVOKABLE QObject* makeLaunchScene(QObject* owner);
    Q_INVOKABLE QObject* makeLoginScene(QObject* owner);

  private:
    KorvaneComposition& m_composition;
    platform::DefaultsStore& m_defaults;
    Navigation m_navigation;
    std::unique_ptr<SceneManager> m_scenes;
    UrlOpener m_openUrl;
};

}  // namespace app
