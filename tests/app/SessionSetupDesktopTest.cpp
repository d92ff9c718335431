// The session-setup windows on the real desktop: the source card leads through our own content
// picker to the chosen display or window, and the countdown covers exactly what was chosen.
#include "KorvaneApp.h"
#include "KorvaneComposition.h"

#include "CountdownScene.h"
#include "PrepareSessionScene.h"
#include "SourcePickerScene.h"

#include "desktop/AppResources.h"
#include "desktop/ContentPickerModel.h"
#include "desktop/DesktopContentSharingPicker.h"
#include "x11/X11WindowServer.h"

#include "AppQml.h"
#include "Await.h"
#include "Pump.h"
#include "RecorderFakes.h"
#include "X11TestDesktop.h"

#include <QGuiApplication>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QQuickWindow>

#include <gtest/gtest.h>

#include <algorithm>
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

    static inline int counter = 0;
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
