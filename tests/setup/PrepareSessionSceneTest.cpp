// The preparation page's logic on fakes: what the cards show for the recorder's choices, how the
// two pickers open and close, and where Start, "Sing out" and "Close app" lead.
#include "PrepareSessionScene.h"

#include "FakeRouter.h"
#include "NotifyAudit.h"
#include "Pump.h"
#include "RecorderFakes.h"
#include "SetupQml.h"

#include "desktop/AppResources.h"
#include "desktop/Notifications.h"
#include "desktop/WindowControl.h"
#include "desktop/WindowPlacement.h"
#include "platform/NotificationCenter.h"

#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <utility>

namespace {

using setup::PrepareSessionScene;
using Events = std::vector<std::string>;
namespace notifications = desktop::notifications;

void post(const char* name, const QVariantMap& userInfo = {}) {
    platform::NotificationCenter::defaultCenter().post(QString::fromLatin1(name), userInfo);
}

std::size_t observers(const char* name) {
    return platform::NotificationCenter::defaultCenter().observerCount(QString::fromLatin1(name));
}

platform::ContentFilter displayFilter() {
    return {.includedWindows = {},
            .includedDisplays = {{7, "screen", {0, 0, 1920, 1080}}},
            .contentRect = {}};
}

platform::ContentFilter windowFilter() {
    return {.includedWindows = {{42, "Chart", "trader-app", {100, 80, 1001, 601}}},
            .includedDisplays = {},
            .contentRect = {}};
}

class PreparePage : public ::testing::Test {
  protected:
    PreparePage() {
        rig.build();
        page = std::make_unique<PrepareSessionScene>(router, rig.recorder, *rig.defaults,
                                                     QStringLiteral("http://web.test"));
    }

    // Events since the last call.
    Events takeEvents() { return std::exchange(router.events, {}); }

    QQuickWindow* addWindow(const QString& id, const QRect& geometry) {
        auto window = std::make_unique<QQuickWindow>();
        window->setGeometry(geometry);
        window->show();
        router.windows.insert(id, window.get());
        windows.push_back(std::move(window));
        return windows.back().get();
    }

    fakes::Rig rig;
    FakeRouter router;
    std::vector<std::unique_ptr<QQuickWindow>> windows;
    std::unique_ptr<PrepareSessionScene> page;
};

TEST_F(PreparePage, SourceCardAndStartFollowTheRecordersChoice) {
    EXPECT_EQ(page->sourceTitle(), "Screen");
    EXPECT_EQ(page->sourceIcon(), "display");
    EXPECT_EQ(page->sourceIconColor(), "application_red");
    EXPECT_FALSE(page->hasValidSelection());
    EXPECT_DOUBLE_EQ(page->startOpacity(), 0.6);
    EXPECT_EQ(page->startBorderColor(), "font_gray");
    page->startHovered(true);
    EXPECT_FALSE(page->isHoveringRecording());
    EXPECT_EQ(page->startCursor(), Qt::ArrowCursor) << "nothing to start: no pointing hand";
    EXPECT_EQ(page->startBorderWidth(), 1);
    page->startTapped();
    EXPECT_TRUE(router.events.empty());

    rig.recorder->capture().applyPickerFilter(
        {});  // a picker answer naming neither window nor display
    EXPECT_EQ(page->sourceTitle(), "Selected source");
    EXPECT_EQ(page->sourceIconColor(), "application_red");
    EXPECT_FALSE(page->hasValidSelection());
    page->startTapped();
    EXPECT_TRUE(router.events.empty());

    rig.recorder->capture().applyPickerFilter(displayFilter());
    EXPECT_EQ(page->sourceTitle(), "Full screen");
    EXPECT_EQ(page->sourceIcon(), "display");
    EXPECT_EQ(page->sourceIconColor(), "application_green");
    EXPECT_DOUBLE_EQ(page->startOpacity(), 1.0);
    page->startHovered(true);
    EXPECT_EQ(page->startCursor(), Qt::PointingHandCursor);
    EXPECT_EQ(page->startBorderWidth(), 2);
    page->startHovered(false);
    EXPECT_EQ(page->startBorderWidth(), 1);

    rig.recorder->capture().applyPickerFilter(windowFilter());
    EXPECT_EQ(page->sourceTitle(), "Specific window");
    EXPECT_EQ(page->sourceIcon(), "macwindow");
    EXPECT_EQ(page->sourceIconColor(), "application_green");
}

TEST_F(PreparePage, EveryValueTheViewBindsAnnouncesEachChange) {
    NotifyAudit audit(page.get());
    auto step = [&](const char* what, const std::function<void()>& action) {
        action();
        EXPECT_EQ(audit.silentChanges(), "") << what;
    };
    step("hover on Start without a choice", [&] { page->startHovered(true); });
    step("a display chosen under the pointer",
         [&] { rig.recorder->capture().applyPickerFilter(displayFilter()); });
    step("hover on Start with a choice", [&] { page->startHovered(true); });
    step("the choice cleared", [&] { rig.recorder->clearSelection(); });
    step("a window chosen", [&] { rig.recorder->capture().applyPickerFilter(windowFilter()); });
    step("hover on the source card", [&] { page->sourceCardHovered(true); });
    step("source card tapped", [&] { page->sourceCardTapped(); });
    step("pointer leaves the source card", [&] { page->sourceCardHovered(false); });
    step("source picker closed", [&] {
        post(notifications::windowWillClose, {{"identifier", "SourcePickerWindow"}});
    });
    step("hover on the microphone card", [&] { page->microphoneCardHovered(true); });
    step("microphone card tapped", [&] { page->microphoneCardTapped(); });
    step("a microphone chosen", [&] {
        post(notifications::microphoneWindowDidClose,
             {{"selection", "mic"}, {"name", "Desk Microphone"}, {"id", "desk"}});
    });
    step("the recorder's microphone renamed",
         [&] { rig.recorder->setSelectedMicrophoneName(QStringLiteral("Headset")); });
    step("microphone toggled off", [&] { page->microphoneToggleTapped(); });
    step("home menu opened", [&] { page->homeTapped(); });
    step("hover on the menu rows", [&] {
        page->signOutHovered(true);
        page->closeAppHovered(true);
    });
    step("home menu closed", [&] { page->homeTapped(); });
}

TEST_F(PreparePage, EachCardClosesTheOtherPickerAndStaysDisabledWhileItsOwnIsOpen) {
    page->sourceCardTapped();
    EXPECT_EQ(takeEvents(), Events{"open SourcePickerWindow"});
    EXPECT_TRUE(page->isDisplayWindowOpen());
    EXPECT_TRUE(page->isSourceCardHighlighted()) << "green while open, hovered or not";
    page->sourceCardTapped();
    EXPECT_TRUE(takeEvents().empty());

    page->microphoneCardTapped();
    EXPECT_EQ(takeEvents(), (Events{"dismiss SourcePickerWindow", "open MicrophoneWindow"}));
    EXPECT_FALSE(page->isDisplayWindowOpen());
    EXPECT_TRUE(page->isMicrophoneWindowOpen());
    EXPECT_TRUE(page->isMicrophoneCardHighlighted());
    page->microphoneToggleTapped();
    EXPECT_TRUE(takeEvents().empty()) << "the toggle is disabled with its card";

    page->sourceCardTapped();
    EXPECT_EQ(takeEvents(), (Events{"dismiss MicrophoneWindow", "open SourcePickerWindow"}));
    EXPECT_FALSE(page->isMicrophoneWindowOpen());
}

TEST_F(PreparePage, ClosingAPickerWithoutAnAnswerGivesItsCardBack) {
    page->microphoneCardTapped();
    post(notifications::windowWillClose, {{"identifier", "MicrophoneWindow"}});
    EXPECT_FALSE(page->isMicrophoneWindowOpen());
    EXPECT_FALSE(page->isMicrophoneCardHighlighted());
    page->microphoneCardTapped();
    EXPECT_EQ(takeEvents(), (Events{"open MicrophoneWindow", "open MicrophoneWindow"}));

    const auto closeObservers = observers(notifications::sourcePickerWindowDidClose);
    page->sourceCardTapped();
    EXPECT_EQ(observers(notifications::sourcePickerWindowDidClose), closeObservers + 1);
    post(notifications::sourcePickerWindowDidClose);
    EXPECT_FALSE(page->isDisplayWindowOpen());
    EXPECT_EQ(observers(notifications::sourcePickerWindowDidClose), closeObservers);
}

TEST_F(PreparePage, TheMicrophoneChosenInThePickerReachesTheRecorder) {
    rig.recorder->setSelectedMicrophoneName(QStringLiteral("Desk Microphone"));
    page->onAppear();
    EXPECT_TRUE(page->isMicrophoneSelected()) << "an earlier choice shows on appearing";
    page->microphoneToggleTapped();
    EXPECT_FALSE(page->isMicrophoneSelected());
    EXPECT_EQ(page->microphoneTitle(), "Microphone");
    EXPECT_EQ(page->toggleImage(), "off_red");
    EXPECT_EQ(rig.recorder->selectedMicrophoneName(), std::nullopt);
    EXPECT_TRUE(takeEvents().empty());

    const auto baseline = observers(notifications::microphoneWindowDidClose);
    page->microphoneToggleTapped();  // nothing chosen: the toggle opens the picker
    EXPECT_EQ(takeEvents(), Events{"open MicrophoneWindow"});
    const QString longName = QStringLiteral("USB Audio Interface Channel 1 and 2 Analog Stereo");
    post(notifications::microphoneWindowDidClose,
         {{"selection", "mic"}, {"name", longName}, {"id", "usb-1"}});
    EXPECT_EQ(rig.recorder->selectedMicrophoneName(), longName);
    EXPECT_EQ(page->microphoneTitle(), longName);
    EXPECT_EQ(page->toggleImage(), "on_green");
    EXPECT_EQ(page->microphoneIconColor(), "application_green");
    EXPECT_FALSE(page->isMicrophoneWindowOpen());
    EXPECT_EQ(observers(notifications::microphoneWindowDidClose), baseline) << "handled once";

    // A choice without a usable name leaves the recorder's microphone alone.
    page->microphoneCardTapped();
    post(notifications::microphoneWindowDidClose, {{"selection", "mic"}, {"name", 5}});
    EXPECT_EQ(rig.recorder->selectedMicrophoneName(), longName);

    // No userInfo at all: nothing was chosen.
    page->microphoneCardTapped();
    post(notifications::microphoneWindowDidClose);
    EXPECT_FALSE(page->isMicrophoneSelected());
    EXPECT_EQ(page->microphoneTitle(), "Microphone");
    EXPECT_EQ(rig.recorder->selectedMicrophoneName(), std::nullopt);
}

TEST_F(PreparePage, SignOutForgetsOnlyTheSessionAndClosesThePickerFirst) {
    rig.defaults->setString("cookie", "c=1");
    rig.defaults->setString("userID", "u1");
    rig.defaults->setString("SelectedMicrophoneKey", "mic-1");
    rig.recorder->capture().applyPickerFilter(displayFilter());
    rig.recorder->setSelectedMicrophoneName(QStringLiteral("Desk Microphone"));
    page->microphoneCardTapped();
    page->homeTapped();
    EXPECT_TRUE(page->showHomeActions());
    EXPECT_EQ(page->homeIcon(), "x.circle");
    takeEvents();

    page->signOutTapped();
    EXPECT_EQ(takeEvents(), (Events{"dismiss MicrophoneWindow", "page logout",
                                    "dismiss KVWindowGroup", "open LoginWindowGroup"}));
    EXPECT_FALSE(rig.defaults->contains("cookie"));
    EXPECT_FALSE(rig.defaults->contains("userID"));
    EXPECT_EQ(rig.defaults->string("SelectedMicrophoneKey"), "mic-1");
    EXPECT_EQ(page->sourceTitle(), "Full screen");
    EXPECT_EQ(rig.recorder->selectedMicrophoneName(), QStringLiteral("Desk Microphone"));
}

TEST_F(PreparePage, StartAndCloseAppDismissOpenPickersBeforeLeaving) {
    rig.recorder->capture().applyPickerFilter(windowFilter());
    rig.recorder->setSuppressRecordingBar(true);
    addWindow(QStringLiteral("SourcePickerWindow"), {0, 0, 200, 200});
    addWindow(QStringLiteral("MicrophoneWindow"), {0, 0, 200, 200});
    page->startTapped();
    EXPECT_EQ(takeEvents(), (Events{"dismiss SourcePickerWindow", "dismiss MicrophoneWindow",
                                    "dismiss KVWindowGroup", "open Countdown"}));
    EXPECT_FALSE(rig.recorder->suppressRecordingBar());

    page->sourceCardTapped();
    takeEvents();
    page->closeAppTapped();
    EXPECT_EQ(takeEvents(), (Events{"dismiss SourcePickerWindow", "quit"}));
}

TEST_F(PreparePage, NoObserverOutlivesThePage) {
    const char* names[] = {notifications::windowWillClose, notifications::sourcePickerDidSelect,
                           notifications::sourcePickerWindowDidClose,
                           notifications::microphoneWindowDidClose};
    std::vector<std::size_t> before;
    for (const char* name : names) {
        before.push_back(observers(name));
    }
    page->onAppear();
    page->sourceCardTapped();
    page->microphoneCardTapped();
    page->sourceCardTapped();
    EXPECT_GT(observers(notifications::windowWillClose), before[0]);
    page.reset();
    for (std::size_t i = 0; i < std::size(names); ++i) {
        EXPECT_EQ(observers(names[i]), before[i]) << names[i];
    }
    post(notifications::windowWillClose, {{"identifier", "MicrophoneWindow"}});
}

TEST_F(PreparePage, AppearingSlidesTheMainWindowInAndAsksForTheMicrophoneOnce) {
    rig.authorization->current = platform::AuthorizationStatus::notDetermined;
    QQuickWindow* main = addWindow(QStringLiteral("KVWindowGroup"), {0, 0, 300, 300});
    const platform::Rect target =
        desktop::bottomRightFrame(*desktop::visibleFrameOf(*main), 405, 390);
    page->onAppear();
    EXPECT_TRUE(pumpUntil([&] { return rig.authorization->pending != nullptr; }));
    EXPECT_TRUE(pumpUntil([&] {
        return desktop::windowFrame(*main) == target && main->opacity() == 1.0;
    })) << desktop::windowFrame(*main).x
        << "," << desktop::windowFrame(*main).y;

    // A page gone before its deferred work runs asks for nothing.
    rig.authorization->pending = nullptr;
    page->onAppear();
    page.reset();
    pumpFor(300);
    EXPECT_EQ(rig.authorization->pending, nullptr);
}

TEST(MicrophonePickerPlacement, GoesBesideTheMainWindowAndStaysOnItsScreen) {
    const platform::Rect visible{0, 0, 1440, 900};
    // Fits on the right: 12 apart, bottom edges level.
    EXPECT_EQ(setup::microphonePickerFrame({100, 300, 405, 390}, 300, 250, visible),
              (platform::Rect{517, 440, 300, 250}));
    // The main window in the bottom-right corner: the picker goes to its left, 12 apart.
    EXPECT_EQ(setup::microphonePickerFrame({1025, 500, 405, 390}, 300, 250, visible),
              (platform::Rect{713, 640, 300, 250}));
    // Taller than the anchor above the frame's top: moved down inside; taller than the frame:
    // the top edge wins.
    EXPECT_EQ(setup::microphonePickerFrame({100, 0, 405, 100}, 300, 250, visible),
              (platform::Rect{517, 0, 300, 250}));
    EXPECT_EQ(setup::microphonePickerFrame({100, 500, 405, 390}, 300, 1000, visible).y, 0);
    EXPECT_EQ(setup::microphonePickerFrame({1025, 500, 405, 390}, 300, 250, std::nullopt).x, 1442)
        << "no screen: the first rule stands";
}

TEST_F(PreparePage, TheMicrophonePickerMovesBesideTheMainWindowAtItsOwnSize) {
    QQuickWindow* main = addWindow(QStringLiteral("KVWindowGroup"), {10, 100, 405, 390});
    router.onOpen = [&](const QString& id) {
        if (id == QStringLiteral("MicrophoneWindow")) {
            addWindow(id, {0, 0, 300, 250});
        }
    };
    const platform::Rect mainFrame = desktop::windowFrame(*main);
    page->microphoneCardTapped();
    QQuickWindow* picker = router.window(QStringLiteral("MicrophoneWindow"));
    ASSERT_NE(picker, nullptr);
    const platform::Rect own = desktop::windowFrame(*picker);
    const platform::Rect expected = setup::microphonePickerFrame(
        mainFrame, own.width, own.height, desktop::visibleFrame(main->screen()));
    EXPECT_TRUE(pumpUntil([&] { return desktop::windowFrame(*picker) == expected; }));
    EXPECT_EQ(desktop::windowFrame(*main), mainFrame) << "the main window stays put";
}

TEST_F(PreparePage, HeaderOpensTheWebApplicationAndTogglesTheMenu) {
    page->logoTapped();
    EXPECT_EQ(takeEvents(), Events{"url http://web.test/"});
    EXPECT_EQ(setup::webApplicationRootURL(QStringLiteral("https://app.test/")).toString(),
              "https://app.test/");
    EXPECT_FALSE(setup::webApplicationRootURL(QStringLiteral("not a url")).isValid());

    EXPECT_EQ(page->homeIcon(), "home_img");
    page->homeTapped();
    page->homeTapped();
    EXPECT_FALSE(page->showHomeActions());

    page->sourceCardHovered(true);
    EXPECT_TRUE(page->isSourceCardHighlighted());
    page->sourceCardHovered(false);
    EXPECT_FALSE(page->isSourceCardHighlighted());
}

TEST_F(PreparePage, ThePageViewSendsEachTapToItsOwnAction) {
    QQmlEngine engine;
    prepareSetupEngine(engine);
    QQmlComponent component(
        &engine, QUrl(QStringLiteral("qrc:/qt/qml/Korvane/Setup/qml/PrepareSessionView.qml")));
    QQuickWindow window;
    std::unique_ptr<QQuickItem> view(qobject_cast<QQuickItem*>(
        component.createWithInitialProperties({{"model", QVariant::fromValue(page.get())}})));
    ASSERT_NE(view, nullptr) << component.errorString().toStdString();
    EXPECT_EQ(QSizeF(view->implicitWidth(), view->implicitHeight()), QSizeF(405, 390));
    view->setParentItem(window.contentItem());
    window.resize(405, 390);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto click = [&](const char* name, double dx = 0.5) {
        auto* item = view->findChild<QQuickItem*>(QString::fromLatin1(name));
        ASSERT_NE(item, nullptr) << name;
        const QPointF at = item->mapToScene({item->width() * dx, item->height() / 2});
        QTest::mouseClick(&window, Qt::LeftButton, {}, at.toPoint());
        pumpFor(20);
    };

    click("startButton");
    EXPECT_TRUE(router.events.empty()) << "nothing chosen: Start does nothing";
    click("microphoneCard", 0.3);
    EXPECT_EQ(takeEvents(), Events{"open MicrophoneWindow"});
    post(notifications::microphoneWindowDidClose, {{"selection", "mic"}, {"name", "Desk"}});
    click("microphoneToggle");
    EXPECT_FALSE(page->isMicrophoneSelected()) << "the toggle, not the card under it";
    EXPECT_TRUE(takeEvents().empty());

    rig.recorder->capture().applyPickerFilter(displayFilter());
    click("startButton");
    EXPECT_EQ(takeEvents(), (Events{"dismiss KVWindowGroup", "open Countdown"}));
}

TEST_F(PreparePage, ViewsReachTheRecordersTypedStateAndOperations) {
    QQmlEngine engine;
    prepareSetupEngine(engine);
    QQmlComponent component(&engine);
    component.setData(R"(
        import QtQml
        import Korvane.Setup
        QtObject {
            required property PrepareSessionScene model
            readonly property ScreenRecorder recorder: model.screenRecorder
            readonly property bool chosen: recorder.hasSelectedContent
            readonly property string kind: recorder.selectedContentInfo.kind
            readonly property real display: recorder.selectedContentInfo.displayID
            function pick() { recorder.presentContentPicker(true) }
        })",
                      QUrl(QStringLiteral("qrc:/test/RecorderProbe.qml")));
    std::unique_ptr<QObject> probe(
        component.createWithInitialProperties({{"model", QVariant::fromValue(page.get())}}));
    ASSERT_NE(probe, nullptr) << component.errorString().toStdString();
    EXPECT_FALSE(probe->property("chosen").toBool());
    EXPECT_EQ(probe->property("kind").toString(), QStringLiteral("unknown"));

    rig.recorder->capture().applyPickerFilter(displayFilter());
    EXPECT_TRUE(probe->property("chosen").toBool()) << "bindings follow the recorder";
    EXPECT_EQ(probe->property("kind").toString(), QStringLiteral("display"));
    EXPECT_GE(probe->property("display").toDouble(), 0);

    const int presented = rig.picker->presented;
    QMetaObject::invokeMethod(probe.get(), "pick");
    EXPECT_EQ(rig.picker->presented, presented + 1);
}

}  // namespace
