// Korvane: records a trading session as a narrated screen video.
#include "AppConfiguration.h"
#include "KorvaneApp.h"
#include "KorvaneComposition.h"
#include "SystemQuit.h"

#include "HttpClient.h"
#include "ScreenRecorder.h"

#include "desktop/AppResources.h"
#include "desktop/DesktopContentSharingPicker.h"
#include "desktop/SceneGraphBackend.h"
#include "platform/Reachability.h"
#include "x11/X11WindowServer.h"

#include <QGuiApplication>
#include <QQmlEngine>
#include <QQuickStyle>

#include <chrono>
#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    // At once: a logout during the launch quits as cleanly as one during a recording.
    auto quitSignals = app::QuitSignals::install();
    if (!quitSignals) {
        std::fprintf(stderr, "Korvane: %s\n", quitSignals.error().c_str());
    }
    QGuiApplication::setOrganizationName(QStringLiteral("Korvane"));
    QGuiApplication::setApplicationName(QStringLiteral("Korvane"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Korvane"));
    // Ties the windows to the installed menu entry (korvane.desktop) and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("korvane"));
    // Windows come and go between steps (the launch window closes before the sign-in opens); the
    // application ends when the user closes the last one, or when a window quits it.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    QQuickStyle::setStyle(QStringLiteral("Basic"));
    desktop::chooseSceneGraphBackend();

    const auto configuration = app::AppConfiguration::fromEnvironment();
    if (!configuration) {
        std::fprintf(stderr, "Korvane cannot start: %s\n", configuration.error().c_str());
        return 2;
    }

    desktop::AppResources::loadFonts();
    desktop::AppResources::registerQmlTypes();
    QQmlEngine engine;
    desktop::AppResources::installImageProvider(engine);

    std::shared_ptr<platform::WindowServer> windowServer = platform::makeX11WindowServer();
    auto picker = std::make_shared<desktop::DesktopContentSharingPicker>(windowServer);
    app::KorvaneComposition composition(
        *configuration, api::HttpClient::shared(),
        std::make_shared<platform::DesktopReachability>(), [windowServer, picker] {
            auto environment = recording::RecorderEnvironment::desktop();
            environment.windowServer = windowServer;
            environment.contentPicker = picker;
            return environment;
        });
    app::KorvaneApp korvane(composition, engine);
    QObject::connect(&korvane.scenes(), &app::SceneManager::lastWindowClosed, &application,
                     &QCoreApplication::quit);
    if (quitSignals) {
        QObject::connect(quitSignals->get(), &app::QuitSignals::received, &korvane, [&korvane] {
            // The quit within the limit goes through the event loop; this covers a main thread
            // or a teardown that hangs, with a second for the teardown itself.
            app::endProcessAfter(app::KorvaneApp::systemQuitLimit + std::chrono::seconds(1));
            korvane.quitForSystem();
        });
    }
    korvane.start();
    const int status = application.exec();
    // The event loop is over, so no reply could reach anyone any more. Ending the transfers now,
    // before the recorder and its upload queue are torn down, keeps that teardown from waiting
    // for a chunk a slow server may never answer; the interrupted upload fails, so its
    // recording stays on disk and under its key for a later attempt.
    api::HttpClient::shared()->shutdown();
    return status;
}
