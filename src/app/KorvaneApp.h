#pragma once

#include "AppRouter.h"
#include "KorvaneComposition.h"
#include "Navigation.h"
#include "SceneManager.h"

#include "desktop/SceneRegistration.h"

#include <QHash>
#include <QObject>

#include <chrono>
#include <memory>

class QQmlEngine;

namespace app {

// The composition root as the windows see it: the scenes of every subsystem, registered by the
// subsystem that owns them, one router, and the main window's page.
class KorvaneApp : public QObject {
    Q_OBJECT

  public:
    KorvaneApp(KorvaneComposition& composition, QQmlEngine& engine,
               platform::DefaultsStore& defaults = platform::DefaultsStore::standard(),
               QObject* parent = nullptr);
    ~KorvaneApp() override;

    // Makes the application's QML modules known to an engine.
    static void prepareEngine(QQmlEngine& engine);

    // The first scene: the launch window decides where to go next.
    void start();
    // A quit asked by the system (logout, shutdown, Ctrl+C): the recording that runs is
    // finalized as Stop finalizes it and kept for a later upload, then Korvane quits as its close
    // button quits it; without a recording, at once.
    void quitForSystem();
    // How long such a quit waits for the recording's file before quitting without it.
    static constexpr std::chrono::milliseconds systemQuitLimit{4000};

    SceneManager& scenes() { return *m_scenes; }
    Navigation& navigation() { return m_navigation; }
    AppRouter& router() { return *m_router; }

  private:
    void registerOwnScenes();
    void registerSubsystemScenes();
    void postApplicationEvents();

    KorvaneComposition& m_composition;
    platform::DefaultsStore& m_defaults;
    Navigation m_navigation;
    std::unique_ptr<SceneManager> m_scenes;
    std::unique_ptr<AppRouter> m_router;
    QHash<int, desktop::PageRegistration> m_pages;
    bool m_quittingForSystem = false;
};

}  // namespace app
