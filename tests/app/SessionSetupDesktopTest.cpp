// The session-setup windows on the real desktop: the source card leads through our own content
// picker to the chosen display or window, and the countdown covers exactly what was chosen.
#include "KorvaneApp.h"
#include "KorvaneComposition.h"

#include "CollectingInformationScene.h"
#include "CountdownScene.h"
#include "MicrophonePickerScene.h"
#include "PrepareSessionScene.h"
#include "RecordingBarScene.h"
#include "SourcePickerScene.h"

#include "desktop/AppResources.h"
#include "desktop/ContentPickerModel.h"
#include "desktop/DesktopContentSharingPicker.h"
#include "desktop/WindowControl.h"
#include "desktop/WindowPlacement.h"
#include "x11/X11WindowServer.h"

#include "AppQml.h"
#include "Await.h"
#include "Pump.h"
#include "RecorderFakes.h"
#include "X11FrameLog.h"
#include "X11TestDesktop.h"

#include <QGuiApplication>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QQuickWindow>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>

namespace {

// Each step is an event awaited, not a duration measured: the bound only keeps a broken run from
// hanging, and is generous because windows come up many times slower under the sanitizers.
constexpr int kStepLimitMs = 30000;

template <class T>
T* modelOf(QObject* view) {
    return view ? qobject_cast<T*>(view->property("model").value<QObject*>()) : nullptr;
}

class SessionSetupDesktopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_DISPLAY();
        defaults = std::make_unique<platform::DefaultsStore>(
            QString::fromLocal8Bit(std::getenv("KORVANE_TEST_HOME")) +
            QStringLiteral("/setup-desktop-%1.ini").arg(counter++));
        windowServer = platform::makeX11WindowServer();
        picker = std::make_shared<desktop::DesktopContentSharingPicker>(windowServer);
        configuration.webBaseURL = "http://127.0.0.1:9";
        configuration.recordingApiBaseURL = "http://127.0.0.1:9";
        composition = std::make_unique<app::KorvaneComposition>(
            configuration, api::HttpClient::shared(), std::make_shared<FixedReachability>(false),
            [this] {
                auto environment = rig.environment();
                environment.windowServer = windowServer;
                environment.contentPicker = picker;
                return environment;
            },
            *defaults);
        prepareAppEngine(engine);
        korvane = std::make_unique<app::KorvaneApp>(*composition, engine, *defaults);
        korvane->navigation().setPage(app::PagesEnum::prepareSession);
        ASSERT_TRUE(korvane->scenes().openWindow(QStringLiteral("KVWindowGroup")));
        QQuickWindow* main = korvane->scenes().window(QStringLiteral("KVWindowGroup"));
        ASSERT_TRUE(pumpUntil([&] { return page() != nullptr; }, kStepLimitMs));
        (void)main;
    }
    void TearDown() override {
        korvane.reset();
        pumpFor(20);
    }

    setup::PrepareSessionScene* page() {
        QQuickWindow* main = korvane->scenes().window(QStringLiteral("KVWindowGroup"));
        if (!main) {
            return nullptr;
        }
        for (QQuickItem* item : main->contentItem()->childItems()) {
            for (QQuickItem* child : item->childItems()) {
                if (auto* scene = modelOf<setup::PrepareSessionScene>(child)) {
                    return scene;
                }
            }
        }
        return nullptr;
    }

    // Our content picker's window, once it is up.
    desktop::ContentPickerModel* contentPicker() {
        for (QWindow* window : QGuiApplication::topLevelWindows()) {
            auto* model = qobject_cast<desktop::ContentPickerModel*>(
                window->property("picker").value<QObject*>());
            if (model && window->isVisible()) {
                return model;
            }
        }
        return nullptr;
    }

    // Through the source card and the source picker into our content picker, with the entry the
    // test names selected but not yet shared.
    desktop::ContentPickerModel* openContentPicker(bool fullScreen, const QString& entryName) {
        page()->sourceCardTapped();
        setup::SourcePickerScene* sourcePicker = nullptr;
        EXPECT_TRUE(pumpUntil(
            [&] {
                sourcePicker = modelOf<setup::SourcePickerScene>(
                    korvane->scenes().window(QStringLiteral("SourcePickerWindow")));
                return sourcePicker != nullptr;
            },
            kStepLimitMs));
        if (!sourcePicker) {
            return nullptr;
        }
        fullScreen ? sourcePicker->chooseFullScreen() : sourcePicker->chooseSpecificWindow();
        desktop::ContentPickerModel* model = nullptr;
        EXPECT_TRUE(pumpUntil([&] { return (model = contentPicker()) != nullptr; }, kStepLimitMs));
        if (!model) {
            return nullptr;
        }
        for (std::size_t i = 0; i < model->entries().size(); ++i) {
            if (model->entries()[i].name == entryName) {
                model->select(static_cast<int>(i));
            }
        }
        EXPECT_GE(model->selectedIndex(), 0) << entryName.toStdString() << " is offered";
        return model;
    }

    // The same, shared; returns once the page shows the choice.
    void choose(bool fullScreen, const QString& entryName, const QString& cardTitle) {
        desktop::ContentPickerModel* model = openContentPicker(fullScreen, entryName);
        ASSERT_TRUE(model);
        model->share();
        EXPECT_TRUE(pumpUntil([&] { return page()->sourceTitle() == cardTitle; }, kStepLimitMs));
        EXPECT_TRUE(pumpUntil(
            [&] {
                return korvane->scenes().window(QStringLiteral("SourcePickerWindow")) == nullptr;
            },
            kStepLimitMs))
            << "the source picker closes once the choice arrived";
    }

    QQuickWindow* awaitCountdown() {
        QQuickWindow* countdown = nullptr;
        EXPECT_TRUE(pumpUntil(
            [&] {
                countdown = korvane->scenes().window(QStringLiteral("Countdown"));
                return countdown && countdown->isExposed();
            },
            kStepLimitMs));
        return countdown;
    }

    // Whether any content picker window is still mapped on the X server.
    bool contentPickerMapped() {
        return std::ranges::any_of(QGuiApplication::topLevelWindows(), [&](QWindow* window) {
            return window->property("picker").value<QObject*>() && window->handle() &&
                   desk.rootRect(static_cast<xcb_window_t>(window->winId())).has_value();
        });
    }

    // A display chosen, then the content picker opened again over a window of the test's own,
    // selected and not shared (in pending); returns the content the recorder holds.
    std::optional<recording::SelectedContentInfo> chooseDisplayThenOpenPickerOn(const char* title) {
        const auto displays = windowServer->displays();
        EXPECT_FALSE(displays.empty());
        if (displays.empty()) {
            return std::nullopt;
        }
        choose(true, QString::fromStdString(displays.front().name), QStringLiteral("Full screen"));
        const xcb_window_t chart = desk.make({.width = 640,
                                              .height = 360,
                                              .netName = title,
                                              .className = "SetupTest",
                                              .x = 310,
                                              .y = 220});
        desk.waitUntilViewable(chart);
        pending = openContentPicker(false, QString::fromLatin1(title));
        return composition->screenRecorder()->selectedContentInfo();
    }

    // Start, then the countdown window's rectangle as the X server has it.
    std::optional<platform::Rect> countdownRect() {
        page()->startTapped();
        QQuickWindow* countdown = awaitCountdown();
        if (!countdown) {
            return std::nullopt;
        }
        std::optional<platform::Rect> rect;
        pumpUntil(
            [&] {
                rect = desk.rootRect(static_cast<xcb_window_t>(countdown->winId()));
                return rect.has_value();
            },
            kStepLimitMs);
        return rect;
    }

    // Opens a scene and returns its X window; 0 when it did not open.
    xcb_window_t open(const char* scene) {
        EXPECT_TRUE(korvane->scenes().openWindow(QString::fromLatin1(scene))) << scene;
        QQuickWindow* window = korvane->scenes().window(QString::fromLatin1(scene));
        return window ? static_cast<xcb_window_t>(window->winId()) : 0;
    }

    // Until the X server has the window at the rectangle (to the pixel).
    bool arrives(xcb_window_t window, const platform::Rect& place) {
        return pumpUntil([&] { return samePlace(desk.rootRect(window), place); }, kStepLimitMs);
    }

    static bool samePlace(const std::optional<platform::Rect>& shown, const platform::Rect& place) {
        return shown && std::abs(shown->x - place.x) <= 0.5 &&
               std::abs(shown->y - place.y) <= 0.5 && shown->width == place.width &&
               shown->height == place.height;
    }

    // Every rectangle the window was shown at is the place.
    static void expectOnlyAt(const std::vector<platform::Rect>& shown, const platform::Rect& place,
                             const char* what) {
        EXPECT_FALSE(shown.empty()) << what << " was never shown";
        for (const platform::Rect& r : shown) {
            EXPECT_TRUE(samePlace(r, place))
                << what << " shown at " << r.x << "," << r.y << " " << r.width << "x" << r.height
                << " instead of " << place.x << "," << place.y;
        }
    }

    // A slide-in: only ever on its straight way up from the start to the target, never elsewhere.
    static void expectOnTheSlide(const std::vector<platform::Rect>& shown,
                                 const platform::Rect& start, const platform::Rect& target,
                                 const char* what) {
        ASSERT_FALSE(shown.empty()) << what << " was never shown";
        double previousY = start.y;
        for (const platform::Rect& r : shown) {
            EXPECT_TRUE(std::abs(r.x - target.x) <= 0.5 && r.width == target.width &&
                        r.height == target.height && r.y <= previousY + 0.5 &&
                        r.y >= target.y - 0.5)
                << what << " shown at " << r.x << "," << r.y << " " << r.width << "x" << r.height
                << " off its way from " << start.y << " up to " << target.y;
            previousY = r.y;
        }
        EXPECT_TRUE(samePlace(shown.back(), target)) << what;
    }

    static inline int counter = 0;
    // Before any window of the test: it sees each from its creation on.
    x11test::FrameLog frames;
    x11test::TestDesktop desk;
    fakes::Rig rig;
    std::unique_ptr<platform::DefaultsStore> defaults;
    std::shared_ptr<platform::WindowServer> windowServer;
    std::shared_ptr<desktop::DesktopContentSharingPicker> picker;
    app::AppConfiguration configuration;
    std::unique_ptr<app::KorvaneComposition> composition;
    QQmlEngine engine;
    std::unique_ptr<app::KorvaneApp> korvane;
    desktop::ContentPickerModel* pending = nullptr;
};

}  // namespace

TEST_F(SessionSetupDesktopTest, AChosenDisplayIsShownOnTheCardAndCoveredWholeByTheCountdown) {
    const auto displays = windowServer->displays();
    ASSERT_FALSE(displays.empty());
    choose(true, QString::fromStdString(displays.front().name), QStringLiteral("Full screen"));
    const auto rect = countdownRect();
    ASSERT_TRUE(rect.has_value());
    EXPECT_EQ(*rect, displays.front().frame) << "panels included";
}

TEST_F(SessionSetupDesktopTest, AChosenWindowIsCoveredExactlyByTheCountdown) {
    const xcb_window_t chart = desk.make({.width = 640,
                                          .height = 360,
                                          .netName = "Setup test chart",
                                          .className = "SetupTest",
                                          .x = 310,
                                          .y = 220});
    desk.waitUntilViewable(chart);
    choose(false, QStringLiteral("Setup test chart"), QStringLiteral("Specific window"));
    const auto bounds = windowServer->windowBounds(chart);
    ASSERT_TRUE(bounds.has_value());
    const auto rect = countdownRect();
    ASSERT_TRUE(rect.has_value());
    EXPECT_EQ(*rect, *bounds) << "exactly the window, as the window server reports it";
}

TEST_F(SessionSetupDesktopTest, StartClosesTheContentPickerAndAShareAfterItChangesNothing) {
    const auto chosen = chooseDisplayThenOpenPickerOn("Late share chart");
    ASSERT_TRUE(chosen && pending);
    ASSERT_TRUE(pumpUntil([&] { return contentPickerMapped(); }, kStepLimitMs));

    page()->startTapped();
    EXPECT_TRUE(awaitCountdown());
    EXPECT_TRUE(pumpUntil([&] { return !contentPickerMapped(); }, kStepLimitMs))
        << "the picker goes with the page";
    EXPECT_EQ(contentPicker(), nullptr);
    pending->share();
    pumpFor(200);
    EXPECT_EQ(composition->screenRecorder()->selectedContentInfo(), chosen);
}

TEST_F(SessionSetupDesktopTest, AShareStillOnItsWayWhenStartIsPressedIsIgnored) {
    const auto chosen = chooseDisplayThenOpenPickerOn("Racing chart");
    ASSERT_TRUE(chosen && pending);
    // Share and Start in one turn of the event loop: the picker's answer is delivered later.
    pending->share();
    page()->startTapped();
    EXPECT_TRUE(awaitCountdown());
    pumpFor(200);
    EXPECT_EQ(composition->screenRecorder()->selectedContentInfo(), chosen);
    EXPECT_FALSE(contentPickerMapped());
}

TEST_F(SessionSetupDesktopTest, TheMainWindowAndThePickersFirstShowWhereTheyBelong) {
    QQuickWindow* main = korvane->scenes().window(QStringLiteral("KVWindowGroup"));
    ASSERT_TRUE(main);
    const auto visible = desktop::mainScreenVisibleFrame();
    ASSERT_TRUE(visible);
    const auto mainId = static_cast<xcb_window_t>(main->winId());
    const platform::Rect target =
        desktop::bottomRightFrame(*visible, main->width(), main->height());
    ASSERT_TRUE(arrives(mainId, target));
    // Qt hears of the last step after the X server made it; the pickers go by what Qt knows.
    ASSERT_TRUE(
        pumpUntil([&] { return samePlace(desktop::windowFrame(*main), target); }, kStepLimitMs));
    expectOnTheSlide(frames.shownFrames(mainId), desktop::slideInStartFrame(*visible, target),
                     target, "the main window");

    page()->sourceCardTapped();
    ASSERT_TRUE(
        pumpUntil([&] { return korvane->scenes().window(QStringLiteral("SourcePickerWindow")); },
                  kStepLimitMs));
    QQuickWindow* picker = korvane->scenes().window(QStringLiteral("SourcePickerWindow"));
    const auto pickerId = static_cast<xcb_window_t>(picker->winId());
    const auto panel = setup::SourcePickerScene::panelFrame(target, 378, 280);
    ASSERT_TRUE(arrives(pickerId, panel));
    pumpFor(100);  // the placement it runs on the next turn changes nothing
    expectOnlyAt(frames.shownFrames(pickerId), panel, "the source picker");

    page()->microphoneCardTapped();
    ASSERT_TRUE(
        pumpUntil([&] { return korvane->scenes().window(QStringLiteral("MicrophoneWindow")); },
                  kStepLimitMs));
    const auto micId = static_cast<xcb_window_t>(
        korvane->scenes().window(QStringLiteral("MicrophoneWindow"))->winId());
    ASSERT_TRUE(pumpUntil([&] { return desk.rootRect(micId).has_value(); }, kStepLimitMs));
    const auto shown = frames.shownFrames(micId);
    ASSERT_FALSE(shown.empty());
    EXPECT_TRUE(
        samePlace(shown.front(), setup::MicrophonePickerScene::pickerFrame(target, 378, 330)));
}

TEST_F(SessionSetupDesktopTest, TheLaunchAndSessionWindowsFirstShowWhereTheyBelong) {
    const auto visible = desktop::mainScreenVisibleFrame();
    ASSERT_TRUE(visible);

    const xcb_window_t collecting = open("CollectingInformationGroup");
    const auto centred = desktop::centeredFrame(*visible, 405, 350);
    ASSERT_TRUE(arrives(collecting, centred));
    pumpFor(200);  // past its own centring, well before it shrinks into the corner
    expectOnlyAt(frames.shownFrames(collecting), centred, "the post-session window");

    const xcb_window_t reminder = open("InactivityReminderWindow");
    const auto corner = desktop::bottomRightFrame(*visible, 234, 134);
    ASSERT_TRUE(arrives(reminder, corner));
    pumpFor(200);
    expectOnlyAt(frames.shownFrames(reminder), corner, "the reminder");

    // Something to record: a bar whose recording could not begin would hand over at once.
    const auto display = windowServer->displays().front();
    composition->screenRecorder()->capture().applyPickerFilter({{}, {display}, display.frame});
    // Without a compositor transparency hides nothing: the bar's first frame is out of sight.
    const xcb_window_t bar = open("RecordingBarGroup");
    QQuickWindow* barWindow = korvane->scenes().window(QStringLiteral("RecordingBarGroup"));
    ASSERT_TRUE(barWindow);
    EXPECT_EQ(barWindow->opacity(), 0);
    const auto barTarget = session::recordingBarFrame(*visible);
    ASSERT_TRUE(arrives(bar, barTarget));
    expectOnTheSlide(frames.shownFrames(bar), desktop::slideInStartFrame(*visible, barTarget),
                     barTarget, "the recording bar");

    // The launch window goes at once here (no network), often before it is mapped: it is created
    // at its place, and shown nowhere else.
    const xcb_window_t launch = open("LaunchViewGroup");
    ASSERT_TRUE(
        pumpUntil([&] { return !korvane->scenes().window(QStringLiteral("LaunchViewGroup")); },
                  kStepLimitMs));
    expectOnlyAt(frames.shownFrames(launch, /*created=*/true),
                 desktop::centeredFrame(*visible, 405, 350), "the launch window");
}

TEST_F(SessionSetupDesktopTest, TheStartPageStaysMappedOnceTheWindowManagerTookIt) {
    // As after a sign-in: the page stored, the main window opened afresh on it.
    korvane->navigation().setPage(app::PagesEnum::startSession);
    korvane->scenes().dismissWindow(QStringLiteral("KVWindowGroup"));
    const xcb_window_t start = open("KVWindowGroup");
    ASSERT_NE(start, 0u);
    // The page's own steps are held back (the event loop does not run) until the window manager
    // has mapped the window; nothing they do afterwards may take it away again.
    ASSERT_TRUE(x11test::eventuallyTrue(
        [&] { return desk.rootRect(start).has_value() && desk.wmState(start) == 1; },
        std::chrono::milliseconds(kStepLimitMs)));
    const auto visible = desktop::mainScreenVisibleFrame();
    ASSERT_TRUE(visible);
    ASSERT_TRUE(arrives(start, desktop::bottomRightFrame(*visible, 234, 77)));
    EXPECT_FALSE(frames.everUnmapped(start)) << "withdrawn on its way in";
    EXPECT_EQ(desk.wmState(start), 1u);
}
