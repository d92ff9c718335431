#include "KorvaneApp.h"

#include "MainWindowScene.h"
#include "Scenes.h"

#include "SessionScenes.h"
#include "SetupScenes.h"

#include "desktop/Notifications.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"

#include "ScreenRecorder.h"

#include <QtQml/qqmlextensionplugin.h>
#include <QGuiApplication>
#include <QQmlEngine>
#include <QTimer>

#include <chrono>
#include <utility>

Q_IMPORT_QML_PLUGIN(Korvane_AppPlugin)
Q_IMPORT_QML_PLUGIN(Korvane_SetupPlugin)
Q_IMPORT_QML_PLUGIN(Korvane_SessionPlugin)

namespace app {

namespace {
const QString kModule = QStringLiteral("qrc:/qt/qml/Korvane/App/qml/");
const QString kScenes = kModule + QStringLiteral("scenes/");
const QString kViews = kModule + QStringLiteral("views/");
}  // namespace

KorvaneApp::KorvaneApp(KorvaneComposition& composition, QQmlEngine& engine,
                       platform::DefaultsStore& defaults, QObject* parent)
    : QObject(parent),
      m_composition(composition),
      m_defaults(defaults),
      m_navigation(defaults),
      m_scenes(std::make_unique<SceneManager>(engine)),
      m_router(std::make_unique<AppRouter>(*m_scenes, m_navigation)) {
    prepareEngine(engine);
    registerSubsystemScenes();
    registerOwnScenes();
    postApplicationEvents();
}

KorvaneApp::~KorvaneApp() = default;

void KorvaneApp::prepareEngine(QQmlEngine& engine) {
    const QString modules = QStringLiteral("qrc:/qt/qml");
    if (!engine.importPathList().contains(modules)) {
        engine.addImportPath(modules);
    }
}

void KorvaneApp::start() {
    m_scenes->openWindow(QStringLiteral("LaunchViewGroup"));
}

void KorvaneApp::quitForSystem() {
    if (std::exchange(m_quittingForSystem, true)) {
        return;
    }
    const auto recorder = m_composition.existingScreenRecorder();
    if (!recorder || !recorder->endForQuit()) {
        m_router->quit();
        return;
    }
    connect(recorder.get(), &recording::ScreenRecorder::recordingFinalized, this,
            [this] { m_router->quit(); });
    // The system does not wait long (logout gives a few seconds): a finalization that hangs
    // does not keep Korvane from quitting; the file then stays as far as it was written.
    QTimer::singleShot(systemQuitLimit, this, [this] {
        platform::logLine("The recording could not be finished before quitting");
        m_router->quit();
    });
}

void KorvaneApp::registerOwnScenes() {
    SceneManager* scenes = m_scenes.get();
    desktop::Router* router = m_router.get();
    const QString webBaseURL = QString::fromStdString(m_composition.configuration().webBaseURL);
    auto makeLogin = [this, router, webBaseURL]() -> QObject* {
        return new LoginScene(m_composition.makeSignInRepository(), webBaseURL, *router,
                              m_defaults);
    };
    m_pages.insert(
        int(PagesEnum::logout),
        {int(PagesEnum::logout), QUrl(kViews + QStringLiteral("LoginView.qml")), makeLogin});

    m_scenes->registerScene(
        {QStringLiteral("LaunchViewGroup"), QUrl(kScenes + QStringLiteral("LaunchViewGroup.qml")),
         [this, router, scenes]() -> QObject* {
             return new LaunchScene(
                 m_composition.makeSignInRepository(), m_composition.reachability(), *router,
                 [scenes = QPointer<SceneManager>(scenes)] {
                     if (scenes) {
                         centerLaunchWindow(*scenes);
                     }
                 },
                 m_defaults);
         }});
    m_scenes->registerScene({QStringLiteral("LoginWindowGroup"),
                             QUrl(kScenes + QStringLiteral("LoginWindowGroup.qml")), makeLogin,
                             /*titled=*/true});
    m_scenes->registerScene(
        {QStringLiteral("KVWindowGroup"), QUrl(kScenes + QStringLiteral("KVWindowGroup.qml")),
         [this]() -> QObject* { return new MainWindowScene(m_navigation, m_pages); }});
}

void KorvaneApp::registerSubsystemScenes() {
    setup::SetupContext setupContext{
        m_router.get(),
        [this] { return m_composition.screenRecorder(); },
        &m_defaults,
        QString::fromStdString(m_composition.configuration().webBaseURL),
    };
    for (auto& scene : setup::sceneRegistrations(setupContext)) {
        m_scenes->registerScene(std::move(scene));
    }
    for (auto& page : setup::pageRegistrations(setupContext)) {
        m_pages.insert(page.page, page);
    }
    session::SessionContext sessionContext{
        m_router.get(),
        [this] { return m_composition.screenRecorder(); },
        &m_defaults,
        QString::fromStdString(m_composition.configuration().webBaseURL),
        QString::fromStdString(m_composition.configuration().recordingApiBaseURL),
        m_composition.httpClient(),
    };
    for (auto& scene : session::sceneRegistrations(sessionContext)) {
        m_scenes->registerScene(std::move(scene));
    }
}

void KorvaneApp::postApplicationEvents() {
    auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!application) {
        return;
    }
    connect(application, &QGuiApplication::applicationStateChanged, this,
            [](Qt::ApplicationState state) {
                if (state == Qt::ApplicationActive) {
                    platform::NotificationCenter::defaultCenter().post(
                        QString::fromLatin1(desktop::notifications::applicationDidBecomeActive));
                }
            });
    connect(application, &QCoreApplication::aboutToQuit, this, [] {
        platform::NotificationCenter::defaultCenter().post(
            QString::fromLatin1(desktop::notifications::applicationWillTerminate));
    });
}

}  // namespace app
