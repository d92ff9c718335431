// The post-session window: its timeline from the large card to the corner card, the link to the
// uploaded video, and the two ways out.
#include "CollectingInformationScene.h"

#include "FakeRouter.h"
#include "FindItem.h"
#include "NotifyAudit.h"
#include "Pump.h"
#include "RecorderFakes.h"
#include "SessionQml.h"

#include "desktop/WindowControl.h"
#include "platform/Log.h"

#include <gtest/gtest.h>

#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using session::CollectingInformationScene;
using Events = std::vector<std::string>;

const QString kCollecting = QStringLiteral("CollectingInformationGroup");
const QString kWebBase = QStringLiteral("http://127.0.0.1:8080");

class CollectingInformationSceneTest : public ::testing::Test {
  protected:
    CollectingInformationSceneTest()
        : defaults(QString::fromLocal8Bit(std::getenv("KORVANE_TEST_HOME")) +
                   QStringLiteral("/collecting-%1.ini").arg(counter++)) {
        rig.build();
        platform::setLogSink([this](std::string_view line) { logLines.emplace_back(line); });
    }
    ~CollectingInformationSceneTest() override { platform::setLogSink({}); }

    std::unique_ptr<CollectingInformationScene> makeScene(const QString& webBase = kWebBase) {
        return std::make_unique<CollectingInformationScene>(router, rig.recorder, defaults,
                                                            webBase);
    }

    // The recorder's upload, finished with success on the fake repository.
    static void succeedUpload(fakes::Rig& rig) {
        rig.defaults->setString("currentVideoPath", "/tmp/korvane-collecting-test.mp4");
        rig.recorder->uploadRecordedVideo();
        ASSERT_TRUE(pumpUntil([&] { return rig.recorder->isSuccess(); }));
    }

    // The view on a scene, with every QML warning collected.
    std::unique_ptr<QQuickWindow> loadView(CollectingInformationScene& scene) {
        prepareSessionEngine(engine);
        QObject::connect(&engine, &QQmlEngine::warnings, [this](const QList<QQmlError>& errors) {
            for (const auto& error : errors) {
                warnings.append(error.toString());
            }
        });
        QQmlComponent component(
            &engine,
            QUrl(QStringLiteral("qrc:/qt/qml/Korvane/Session/qml/CollectingInformationGroup.qml")));
        std::unique_ptr<QObject> made(component.createWithInitialProperties(
            {{"model", QVariant::fromValue<QObject*>(&scene)}}));
        EXPECT_TRUE(qobject_cast<QQuickWindow*>(made.get()))
            << component.errorString().toStdString();
        return std::unique_ptr<QQuickWindow>(qobject_cast<QQuickWindow*>(made.release()));
    }

    static inline std::atomic<int> counter{0};
    platform::DefaultsStore defaults;
    fakes::Rig rig;
    FakeRouter router;
    QQmlEngine engine;
    QStringList warnings;
    Events logLines;
};

// Windows sit on whole pixels.
bool placedAt(const QQuickWindow& window, const platform::Rect& frame) {
    const platform::Rect at = desktop::windowFrame(window);
    auto near = [](double a, double b) { return std::abs(a - b) <= 0.5; };
    return near(at.x, frame.x) && near(at.y, frame.y) && near(at.width, frame.width) &&
           near(at.height, frame.height);
}

bool shown(QQuickWindow& window, const char* name) {
    QQuickItem* item = findItem(window.contentItem(), QString::fromLatin1(name));
    return item && item->isVisible();
}

}  // namespace

TEST_F(CollectingInformationSceneTest, TheFramesOfTheLargeAndTheCompactCard) {
    // On a 1440 x 875 visible frame 25 below the top of the desktop.
    const platform::Rect visible{0, 25, 1440, 875};
    EXPECT_EQ(CollectingInformationScene::centeredFrame(visible, {}),
              (platform::Rect{517.5, 287.5, 405, 350}));
    EXPECT_EQ(CollectingInformationScene::centeredFrame(visible, {500, 300}),
              (platform::Rect{470, 287.5, 500, 350}))
        << "a larger fitting width wins, the height stays at its least";
    EXPECT_EQ(CollectingInformationScene::compactFrame(visible),
              (platform::Rect{1202, 25 + 875 - 10 - 134, 228, 134}));
}

TEST_F(CollectingInformationSceneTest, GrowsCentredThenShrinksIntoTheCornerAndCompletesOnSuccess) {
    auto scene = makeScene();
    NotifyAudit audit(scene.get());
    const auto window = loadView(*scene);
    ASSERT_TRUE(window);
    router.windows.insert(kCollecting, window.get());
    desktop::setWindowFrame(*window, {5, 5, 300, 200});

    // An upload that is done before the card shrinks: the large card turns straight into the
    // completed one.
    fakes::Rig early;
    early.build();
    FakeRouter otherRouter;
    CollectingInformationScene already(otherRouter, early.recorder, defaults, kWebBase);
    std::vector<int> alreadyStates;
    QObject::connect(&already, &CollectingInformationScene::displayStateChanged,
                     [&] { alreadyStates.push_back(already.displayState()); });
    succeedUpload(early);
    already.onAppear();

    scene->onAppear();
    EXPECT_TRUE(scene->pulse());
    EXPECT_TRUE(shown(*window, "largeCollecting"));
    EXPECT_EQ(audit.silentChanges(), "");
    const auto main = desktop::mainScreenVisibleFrame();
    if (main) {
        const auto centred = CollectingInformationScene::centeredFrame(*main, {});
        EXPECT_TRUE(pumpUntil([&] { return placedAt(*window, centred); }));
    }

    ASSERT_TRUE(pumpUntil([&] { return scene->isCompact(); }, 8000));
    EXPECT_EQ(scene->displayState(), CollectingInformationScene::CompactCollecting)
        << "no completed card before the upload succeeded";
    EXPECT_TRUE(shown(*window, "compactCollecting"));
    EXPECT_FALSE(shown(*window, "largeCollecting"));
    EXPECT_FALSE(shown(*window, "completedCard"));
    EXPECT_EQ(audit.silentChanges(), "");
    if (const auto visible = desktop::visibleFrameOf(*window)) {
        const auto corner = CollectingInformationScene::compactFrame(*visible);
        EXPECT_TRUE(pumpUntil([&] { return placedAt(*window, corner); }));
    }

    succeedUpload(rig);
    EXPECT_EQ(scene->displayState(), CollectingInformationScene::Completed);
    EXPECT_TRUE(shown(*window, "completedCard"));
    EXPECT_FALSE(shown(*window, "compactCollecting"));
    scene->hoverViewNow(true);
    EXPECT_EQ(audit.silentChanges(), "");
    // The hover grows the label and again the whole button (about 1.06 in all) over a soft
    // shadow of spread layers.
    QQuickItem* label = findItem(window->contentItem(), QStringLiteral("viewNowLabel"));
    ASSERT_TRUE(label);
    const auto labelWidth = [&] { return label->mapRectToScene(label->boundingRect()).width(); };
    EXPECT_TRUE(pumpUntil([&] { return std::abs(labelWidth() - 123 * 1.03 * 1.03) < 0.01; }));
    QQuickItem* shadow = findItem(window->contentItem(), QStringLiteral("viewNowShadow"));
    ASSERT_TRUE(shadow);
    EXPECT_TRUE(pumpUntil([&] { return shadow->opacity() == 1; }));
    EXPECT_GE(shadow->childItems().size(), 4) << "a soft edge, not a hard one";
    scene->hoverViewNow(false);
    EXPECT_TRUE(pumpUntil([&] { return std::abs(labelWidth() - 123) < 0.01; }));

    ASSERT_TRUE(pumpUntil([&] { return already.isCompact(); }, 8000));
    EXPECT_EQ(alreadyStates, (std::vector<int>{CollectingInformationScene::Completed}));
    EXPECT_TRUE(router.events.empty()) << "the timeline opens, closes and quits nothing";
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join('\n').toStdString();
}

TEST_F(CollectingInformationSceneTest, TheErrorAlertSignsOutBeforeQuittingAndCloseQuits) {
    auto scene = makeScene();
    const auto window = loadView(*scene);
    ASSERT_TRUE(window);
    QObject* alert = window->findChild<QObject*>(QStringLiteral("errorAlert"));
    ASSERT_TRUE(alert);
    EXPECT_FALSE(alert->property("visible").toBool());

    // Nothing to upload: the recorder reports an error, in the large layout as in the compact.
    rig.recorder->uploadRecordedVideo();
    ASSERT_TRUE(rig.recorder->isShowError());
    EXPECT_TRUE(scene->isShowError());
    EXPECT_TRUE(pumpUntil([&] { return alert->property("opened").toBool(); }));

    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QQuickItem* ok = findItem(window->contentItem(), QStringLiteral("errorOkButton"));
    ASSERT_TRUE(ok);
    QTest::mouseClick(window.get(), Qt::LeftButton, {},
                      ok->mapToScene(QPointF(ok->width() / 2, ok->height() / 2)).toPoint());
    EXPECT_EQ(router.events, (Events{"page logout", "quit"}));
    EXPECT_EQ(router.page(), desktop::PagesEnum::logout);

    router.events.clear();
    scene->close();
    EXPECT_EQ(router.events, (Events{"quit"}));
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join('\n').toStdString();
}

TEST_F(CollectingInformationSceneTest, ViewNowOpensTheVideoPageWithTheCookieAsItsOnlyQuery) {
    auto scene = makeScene();

    // No video id, or an empty one: nothing is opened and nothing is written.
    scene->openUploadedVideo();
    defaults.setString("obtained_video_id", "");
    scene->openUploadedVideo();
    EXPECT_TRUE(router.events.empty());
    EXPECT_TRUE(logLines.empty());

    defaults.setString("obtained_video_id", "vid-42");
    scene->openUploadedVideo();
    EXPECT_EQ(router.events, (Events{"url http://127.0.0.1:8080/api/trade-log/video/vid-42"}));

    defaults.setString("cookie", "abc123");
    scene->openUploadedVideo();
    EXPECT_EQ(router.events.back(),
              "url http://127.0.0.1:8080/api/trade-log/video/vid-42?cookie=abc123");
    EXPECT_EQ(logLines,
              (Events{"ATRESA za VIDOJE http://127.0.0.1:8080/api/trade-log/video/vid-42",
                      "ATRESA za VIDOJE http://127.0.0.1:8080/api/trade-log/video/vid-42"}))
        << "the cookie never reaches the log";

    // The id stays one path segment and the cookie one value, whatever they hold.
    router.events.clear();
    defaults.setString("obtained_video_id", "a/b?c#d");
    defaults.setString("cookie", "sessionid=a+b&c");
    makeScene(kWebBase + "/")->openUploadedVideo();
    ASSERT_EQ(router.events.size(), 1u);
    const QUrl opened(QString::fromStdString(router.events[0].substr(4)), QUrl::StrictMode);
    EXPECT_EQ(
        opened.toString(QUrl::FullyEncoded),
        "http://127.0.0.1:8080/api/trade-log/video/a%2Fb%3Fc%23d?cookie=sessionid%3Da%2Bb%26c");
    EXPECT_EQ(logLines.back(),
              "ATRESA za VIDOJE http://127.0.0.1:8080/api/trade-log/video/a%2Fb%3Fc%23d");
}
