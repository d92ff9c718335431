#include "KorvaneApp.h"

#include "Scenes.h"

#include <QDesktopServices>
#include <QQmlContext>
#include <QQmlEngine>
#include <QUrl>

namespace app {

KorvaneApp::KorvaneApp(KorvaneComposition& composition, QQmlEngine& engine,
                       platform::DefaultsStore& defaults, QUrl sceneFolder, QObject* parent)
    : QObject(parent),
      m_composition(composition),
      m_defaults(defaults),
      m_navigation(defaults),
      m_scenes(std::make_unique<SceneManager>(engine, std::move(sceneFolder))),
      m_openUrl([](const QString& url) { QDesktopServices::openUrl(QUrl(url)); }) {
    engine.rootContext()->setContextProperty(QStringLiteral("korvaneApp"), this);
}

KorvaneApp::~KorvaneApp() = default;

void KorvaneApp::start() {
    m_scenes->openWindow(QStringLiteral("LaunchViewGroup"));
}

QObject* KorvaneApp::makeLaunchScene(QObject* owner) {
    SceneManager* scenes = m_scenes.get();
    LaunchFlow::Actions actions{
        [scenes](const QString& id) { scenes->openWindow(id); },
        [scenes](const QString& id) { scenes->dismissWindow(id); },
        [this](const QString& page) { m_navigation.setPageText(page); },
    };
    auto* scene = new LaunchScene(
        m_composition.makeSignInRepository(), m_composition.reachability(), std::move(actions),
        [scenes = QPointer<SceneManager>(scenes)] {
            if (scenes) {
                centerLaunchWindow(*scenes);
            }
        },
        m_defaults, owner);
    QQmlEngine::setObjectOwnership(scene, QQmlEngine::CppOwnership);
    return scene;
}

QObject* KorvaneApp::makeLoginScene(QObject* owner) {
    SceneManager* scenes = m_scenes.get();
    LoginViewLogic::Actions actions{
        [this](const QString& page) { m_navigation.setPageText(page); },
        [scenes](const QString& id) { scenes->dismissWindow(id); },
        [scenes](const QString& id) { scenes->openWindow(id); },
        [this](const QString& url) {
            if (m_openUrl) {
                m_openUrl(url);
            }
        },
    };
    auto* scene = new LoginScene(m_composition.makeSignInRepository(),
                                 QString::fromStdString(m_composition.configuration().webBaseURL),
                                 std::move(actions), m_defaults, owner);
    QQmlEngine::setObjectOwnership(scene, QQmlEngine::CppOwnership);
    return scene;
}

}  // namespace app
