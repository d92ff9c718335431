#include "StartRecordingScene.h"

#include "FakeRouter.h"
#include "FindItem.h"
#include "Pump.h"
#include "SetupQml.h"

#include "desktop/AppResources.h"
#include "desktop/WindowBorder.h"
#include "desktop/WindowControl.h"
#include "desktop/WindowPlacement.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QSignalSpy>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

namespace {

using setup::StartRecordingScene;
using Events = std::vector<std::string>;

const QString kMain = QStringLiteral("KVWindowGroup");

}  // namespace

TEST(StartRecordingSceneTest, TheBorderTurnsGreenOnlyWhileThePointerRestsOnTheCard) {
    FakeRouter router;
    StartRecordingScene scene(router);
    QSignalSpy borderChanges(&scene, &StartRecordingScene::useGradientWindowBorderChanged);
    EXPECT_TRUE(scene.windowBorderGradientColors().isEmpty());

    // Passing over in less than the delay.
    scene.hoverStartSession(true);
    EXPECT_TRUE(scene.isHoveringStartSession());
    scene.hoverStartSession(false);
    EXPECT_FALSE(scene.isHoveringStartSession());
    pumpFor(2 * int(StartRecordingScene::hoverDelay.count()));
    EXPECT_EQ(borderChanges.count(), 0) << "never green";
    EXPECT_EQ(scene.cursorShape(), Qt::ArrowCursor);

    // Resting on it.
    scene.hoverStartSession(true);
    ASSERT_TRUE(pumpUntil([&] { return scene.useGradientWindowBorder(); }));
    EXPECT_EQ(scene.cursorShape(), Qt::PointingHandCursor);
    const QVariantList green = scene.windowBorderGradientColors();
    ASSERT_EQ(green.size(), 2);
    EXPECT_EQ(green[0].value<QColor>().alphaF(), 1.0f);
    EXPECT_NEAR(green[1].value<QColor>().alphaF(), 0.4, 0.01);
    EXPECT_EQ(green[1].value<QColor>().rgb(), green[0].value<QColor>().rgb());

    scene.hoverStartSession(false);
    EXPECT_FALSE(scene.useGradientWindowBorder()) << "back to plain at once on leaving";
    EXPECT_EQ(scene.cursorShape(), Qt::ArrowCursor);
    EXPECT_TRUE(scene.windowBorderGradientColors().isEmpty());
}

TEST(StartRecordingSceneTest, AStepLooksAtThePointerWhenItRunsNotWhenItWasScheduled) {
    FakeRouter router;
    StartRecordingScene scene(router);
    const int delay = int(StartRecordingScene::hoverDelay.count());
    QElapsedTimer sinceFirstEntry;
    sinceFirstEntry.start();
    scene.hoverStartSession(true);
    pumpFor(delay / 2);
    scene.hoverStartSession(false);
    if (sinceFirstEntry.elapsed() >= delay - 20) {
        GTEST_SKIP() << "the machine was too slow to come back within the delay";
    }
    // A look between the first entry's step and the second entry's: by then the first step
    // has found the pointer back over the card.
    bool greenBeforeSecondStep = false;
    QTimer::singleShot(3 * delay / 4, &scene,
                       [&] { greenBeforeSecondStep = scene.useGradientWindowBorder(); });
    scene.hoverStartSession(true);
    ASSERT_TRUE(pumpUntil([&] { return scene.useGradientWindowBorder(); }));
    pumpFor(delay);
    EXPECT_TRUE(greenBeforeSecondStep);
    EXPECT_TRUE(scene.useGradientWindowBorder());
}

TEST(StartRecordingSceneTest, StartingStoresThePageThenReopensTheMainWindow) {
    FakeRouter router;
    router.currentPage = desktop::PagesEnum::startSession;
    auto scene = std::make_unique<StartRecordingScene>(router);
    // The router takes the page with it when the main window goes, as the application's does.
    router.onOpen = [&](const QString&) { scene.reset(); };
    scene->startSession();
    EXPECT_EQ(router.events,
              (Events{"page prepareSession", "dismiss KVWindowGroup", "open KVWindowGroup"}));
    EXPECT_EQ(router.page(), desktop::PagesEnum::prepareSession);
}

TEST(StartRecordingSceneTest, AppearingHidesTheWindowThenSlidesItIntoTheBottomRightCorner) {
    FakeRouter router;
    Events seen;  // outlives the window, which reports its last hiding as it goes
    QQuickWindow window;
    window.setGeometry(100, 100, 400, 700);
    window.show();
    router.windows.insert(kMain, &window);
    QObject::connect(&window, &QWindow::visibleChanged, [&](bool visible) {
        seen.push_back(visible ? "shown" : window.opacity() == 0 ? "hidden transparent" : "hidden");
    });

    StartRecordingScene scene(router);
    scene.onAppear();
    EXPECT_TRUE(window.isVisible()) << "nothing happens inside the appear call itself";
    const QRect visible = window.screen()->availableGeometry();
    const platform::Rect target{double(visible.right() + 1 - 10 - 234),
                                double(visible.bottom() + 1 - 10 - 77), 234, 77};
    ASSERT_TRUE(pumpUntil(
        [&] { return window.opacity() == 1.0 && desktop::windowFrame(window) == target; }));
    EXPECT_EQ(seen, (Events{"hidden transparent", "shown"}));

    // A page that went before its turns came does not touch the window.
    auto gone = std::make_unique<StartRecordingScene>(router);
    gone->onAppear();
    gone.reset();
    pumpFor(50);
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_TRUE(window.isVisible());

    // Without the main window there is nothing to hide or move.
    router.windows.clear();
    scene.onAppear();
    pumpFor(50);
    EXPECT_EQ(seen.size(), 2u);
}

TEST(StartRecordingSceneTest, ThePagesBorderFollowsThePointer) {
    QQmlEngine engine;
    prepareSetupEngine(engine);
    QStringList warnings;
    QObject::connect(&engine, &QQmlEngine::warnings, [&](const QList<QQmlError>& errors) {
        for (const auto& error : errors) {
            warnings.append(error.toString());
        }
    });
    FakeRouter router;
    StartRecordingScene scene(router);
    QQuickWindow window;
    QQmlComponent component(
        &engine, QUrl(QStringLiteral("qrc:/qt/qml/Korvane/Setup/qml/StartRecordingView.qml")));
    std::unique_ptr<QObject> made(
        component.createWithInitialProperties({{"model", QVariant::fromValue(&scene)}}));
    ASSERT_NE(made, nullptr) << component.errorString().toStdString();
    auto* page = qobject_cast<QQuickItem*>(made.get());
    page->setParentItem(window.contentItem());
    EXPECT_EQ(page->implicitWidth(), 234);
    EXPECT_EQ(page->implicitHeight(), 77);

    auto border = [&]() -> desktop::WindowBorderLayer* {
        auto* item = findItem(window.contentItem(), QLatin1String(desktop::windowBorderLayerName));
        return qobject_cast<desktop::WindowBorderLayer*>(item);
    };
    ASSERT_TRUE(pumpUntil([&] { return border() != nullptr; }));
    EXPECT_EQ(border()->style(),
              (desktop::WindowBorderStyle{desktop::AppResources::color("light_black"), {}, 2, 12}));

    scene.hoverStartSession(true);
    ASSERT_TRUE(pumpUntil([&] { return border()->style().isGradient(); }));
    scene.hoverStartSession(false);
    ASSERT_TRUE(pumpUntil([&] { return !border()->style().isGradient(); }));
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join('\n').toStdString();
}
