#include "CountdownScene.h"
#include "PrerecordingCountdownViewModel.h"

#include "FakeRouter.h"
#include "Pump.h"
#include "RecorderFakes.h"

#include "desktop/Notifications.h"
#include "desktop/WindowControl.h"
#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>
#include <QWindow>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using recording::SelectedContentInfo;
using setup::CountdownScene;

const QString kStray = QStringLiteral("RecordingBarWindow");

// The router's events and the bar's notifications in one order. A stray bar window still
// showing when "RecordingBarShouldClose" goes out is written down with it.
struct Countdown {
    Countdown() {
        rig.build();
        scene = std::make_unique<CountdownScene>(router, rig.recorder);
        auto& center = platform::NotificationCenter::defaultCenter();
        tokens.push_back(center.addObserver(
            QString::fromLatin1(desktop::notifications::recordingBarShouldClose),
            [this](const QVariantMap&) {
                const bool strayShowing =
                    std::ranges::any_of(strays, [](const auto& w) { return w->isVisible(); });
                router.events.push_back(strayShowing
                                            ? "post RecordingBarShouldClose, strays showing"
                                            : "post RecordingBarShouldClose");
            }));
        tokens.push_back(
            center.addObserver(QString::fromLatin1(desktop::notifications::recordingBarShouldShow),
                               [this](const QVariantMap&) {
                                   router.events.push_back("post RecordingBarShouldShow");
                               }));
    }
    ~Countdown() {
        for (auto token : tokens) {
            platform::NotificationCenter::defaultCenter().removeObserver(token);
        }
    }
    void strayWindow(bool byTitle) {
        auto window = std::make_unique<QWindow>();
        (byTitle ? window->setTitle(kStray) : window->setObjectName(kStray));
        window->show();
        strays.push_back(std::move(window));
    }
    bool has(const std::string& event) const {
        return std::ranges::find(router.events, event) != router.events.end();
    }

    fakes::Rig rig;
    FakeRouter router;
    std::unique_ptr<CountdownScene> scene;
    std::vector<std::unique_ptr<QWindow>> strays;
    std::vector<platform::NotificationCenter::Token> tokens;
};

TEST(CountdownSceneTest, CountsDownThenBringsUpAFreshRecordingBar) {
    Countdown c;
    c.strayWindow(true);
    c.strayWindow(false);
    std::vector<int> shown;
    QObject::connect(c.scene.get(), &CountdownScene::valueChanged,
                     [&] { shown.push_back(c.scene->value()); });

    c.scene->onAppear();
    EXPECT_EQ(c.scene->value(), 4);
    ASSERT_TRUE(pumpUntil([&] { return c.has("dismiss Countdown"); }, 10000));
    EXPECT_EQ(shown, (std::vector<int>{3, 2, 1}));  // 0 is never shown
    EXPECT_FALSE(c.scene->isCounting());

    // The scene goes with its window; the hand-over does not need it.
    c.scene.reset();
    ASSERT_TRUE(pumpUntil([&] { return c.has("post RecordingBarShouldShow"); }));
    EXPECT_EQ(c.router.events, (std::vector<std::string>{
                                   "dismiss Countdown",
                                   "dismiss RecordingBarGroup",
                                   "post RecordingBarShouldClose",
                                   "open RecordingBarGroup",
                                   "post RecordingBarShouldShow",
                               }));
    EXPECT_TRUE(c.rig.recorder->isRecordingBarPresented());
    for (const auto& stray : c.strays) {
        EXPECT_FALSE(stray->isVisible());
    }
}

TEST(CountdownSceneTest, WithoutABarToShowTheMainWindowComesBack) {
    {
        Countdown c;
        c.rig.recorder->setIsRecordingBarPresented(true);
        c.strayWindow(true);
        for (int tick = 0; tick < 4; ++tick) {
            c.scene->countdownTick();
        }
        ASSERT_TRUE(pumpUntil([&] { return c.has("open KVWindowGroup"); }));
        pumpFor(300);
        EXPECT_EQ(c.router.events,
                  (std::vector<std::string>{"dismiss Countdown", "open KVWindowGroup"}));
        EXPECT_TRUE(c.strays.front()->isVisible());
    }
    {
        Countdown c;
        c.rig.recorder->setSuppressRecordingBar(true);
        for (int tick = 0; tick < 4; ++tick) {
            c.scene->countdownTick();
        }
        ASSERT_TRUE(pumpUntil([&] { return c.has("open KVWindowGroup"); }));
        pumpFor(300);
        EXPECT_EQ(c.router.events,
                  (std::vector<std::string>{"dismiss Countdown", "open KVWindowGroup"}));
        EXPECT_FALSE(c.rig.recorder->isRecordingBarPresented());
    }
    {
        // A bar that is open already keeps the trader company: nothing else opens.
        Countdown c;
        c.rig.recorder->setIsRecordingBarPresented(true);
        QQuickWindow bar;
        c.router.windows.insert(QStringLiteral("RecordingBarGroup"), &bar);
        for (int tick = 0; tick < 4; ++tick) {
            c.scene->countdownTick();
        }
        pumpFor(300);
        EXPECT_EQ(c.router.events, (std::vector<std::string>{"dismiss Countdown"}));
    }
}

TEST(CountdownSceneTest, ClosingTheWindowEarlyStopsEverything) {
    Countdown c;
    c.scene->onAppear();
    c.scene->onDisappear();
    EXPECT_FALSE(c.scene->isCounting());
    pumpFor(1300);
    EXPECT_EQ(c.scene->value(), 4);
    EXPECT_TRUE(c.router.events.empty());
}

TEST(CountdownSceneTest, PromptIsOneOfTheSixAndStays) {
    const QStringList& prompts = setup::PrerecordingCountdownViewModel::prompts();
    ASSERT_EQ(prompts.size(), 6);
    EXPECT_EQ(prompts.at(0),
              QString::fromUtf8("Think out loud \xE2\x80\x94 your future self will thank you"));
    EXPECT_EQ(prompts.at(3),
              QString::fromUtf8("Recording starting \xE2\x80\x94 share what you're seeing!"));

    std::set<QString> seen;
    for (int made = 0; made < 200; ++made) {
        setup::PrerecordingCountdownViewModel model;
        ASSERT_TRUE(prompts.contains(model.prompt()));
        seen.insert(model.prompt());
    }
    EXPECT_EQ(seen.size(), 6u);  // 200 draws miss one of six with odds below 1e-15

    Countdown c;
    const QString prompt = c.scene->viewModel()->prompt();
    for (int tick = 0; tick < 3; ++tick) {
        c.scene->countdownTick();
        EXPECT_EQ(c.scene->viewModel()->prompt(), prompt);
    }
}

TEST(CountdownSceneTest, WindowCoversTheChosenContent) {
    const platform::Rect display{1920, 0, 2560, 1440};
    const platform::Rect mainScreen{0, 0, 1920, 1080};
    const SelectedContentInfo window{SelectedContentInfo::Kind::window, "Chart", "app", 42, {}};
    const SelectedContentInfo screen{SelectedContentInfo::Kind::display, {}, {}, {}, 7};
    EXPECT_EQ(setup::countdownFrame(screen, display, mainScreen), display);
    EXPECT_EQ(setup::countdownFrame(window, platform::Rect{100, 80, 1001, 601}, mainScreen),
              (platform::Rect{100, 80, 1001, 601}));
    EXPECT_EQ(setup::countdownFrame(window, std::nullopt, mainScreen), mainScreen);
    EXPECT_EQ(setup::countdownFrame(screen, std::nullopt, std::nullopt), std::nullopt);
    EXPECT_EQ(setup::countdownFrame(std::nullopt, display, mainScreen), std::nullopt);
    EXPECT_EQ(setup::countdownFrame(SelectedContentInfo{}, display, mainScreen), std::nullopt);

    EXPECT_EQ(setup::countdownBackdropFor(true), setup::CountdownBackdrop::translucent);
    EXPECT_EQ(setup::countdownBackdropFor(false), setup::CountdownBackdrop::snapshot);
    EXPECT_EQ(setup::countdownBackdropFor(std::nullopt), setup::CountdownBackdrop::translucent);
}

TEST(CountdownSceneTest, PlacesARealWindowFromTheRecordersChoice) {
    fakes::Rig rig;
    rig.build();
    QWindow window;
    const platform::Rect untouched{10, 20, 300, 200};
    desktop::setWindowFrame(window, untouched);

    EXPECT_EQ(setup::placeCountdownWindow(window, *rig.recorder), std::nullopt);
    EXPECT_EQ(desktop::windowFrame(window), untouched);

    platform::ContentFilter display;
    display.includedDisplays.push_back({7, "screen", {0, 0, 1920, 1080}});
    rig.recorder->capture().applyPickerFilter(display);
    setup::placeCountdownWindow(window, *rig.recorder);
    EXPECT_EQ(desktop::windowFrame(window), (platform::Rect{0, 0, 1920, 1080}));

    platform::ContentFilter chart;
    chart.includedWindows.push_back({42, "Chart", "trader-app", {100, 80, 1001, 601}});
    rig.recorder->capture().applyPickerFilter(chart);
    setup::placeCountdownWindow(window, *rig.recorder);
    EXPECT_EQ(desktop::windowFrame(window), (platform::Rect{100, 80, 1001, 601}));

    platform::ContentFilter gone;
    gone.includedWindows.push_back({99, "Closed", "trader-app", {5, 5, 50, 50}});
    rig.recorder->capture().applyPickerFilter(gone);
    setup::placeCountdownWindow(window, *rig.recorder);
    const QRect primary = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(desktop::windowFrame(window),
              (platform::Rect{double(primary.x()), double(primary.y()), double(primary.width()),
                              double(primary.height())}));
}

}  // namespace
