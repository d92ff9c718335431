// The microphone picker: which devices it lists and proposes, the permission answer, and the
// window's choice, close, quit and placement, against a fake router with real offscreen windows.
#include "MicrophonePickerScene.h"
#include "MicrophoneSourcePickerViewModel.h"

#include "desktop/AppResources.h"
#include "desktop/Notifications.h"
#include "desktop/WindowControl.h"
#include "media/PulseDeviceDiscovery.h"
#include "platform/NotificationCenter.h"

#include "FakeRouter.h"
#include "FindItem.h"
#include "Pump.h"
#include "RecorderFakes.h"
#include "SetupQml.h"

#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <thread>

using platform::AuthorizationStatus;
using platform::CaptureDevice;
using setup::MicrophoneDevice;
using setup::MicrophonePickerScene;
using setup::MicrophoneSourcePickerViewModel;

namespace setup {
void PrintTo(const MicrophoneDevice& device, std::ostream* os) {
    *os << '{' << device.id.toStdString() << ", " << device.name.toStdString() << '}';
}
}  // namespace setup

namespace {

const QString kKey = QStringLiteral("SelectedMicrophoneKey");

// A machine's devices in the platform's order, with a default input of the test's choosing.
class Devices final : public platform::CaptureDeviceDiscovery {
  public:
    std::vector<CaptureDevice> devices() const override { return list; }
    std::optional<CaptureDevice> defaultDevice() const override {
        for (const auto& device : list) {
            if (device.uniqueID == defaultID) {
                return device;
            }
        }
        return std::nullopt;
    }
    std::vector<CaptureDevice> list;
    std::string defaultID;
};

std::shared_ptr<fakes::FakeAuthorization> authorization(AuthorizationStatus status) {
    auto made = std::make_shared<fakes::FakeAuthorization>();
    made->current = status;
    return made;
}

}  // namespace

TEST(MicrophoneListModelTest, ListsBuiltInAndKeywordNamedDevicesInPlatformOrder) {
    auto devices = std::make_shared<Devices>();
    devices->list = {
        {"builtin", "Built-in Audio Analog Stereo", true},
        {"codec-1", "USB Audio CODEC", false},
        {"line", "Line In", false},               // no keyword, not built in: dropped
        {"jabra", "JABRA EVOLVE 20", false},      // the case of either side does not matter
        {"codec-2", "USB Audio CODEC", false},    // same name, another device: both listed
        {"webcam", "HD Pro Webcam C920", false},  // a camera's microphone without a keyword
        {"bt", "WH-1000XM4 bluetooth", false},
    };
    MicrophoneSourcePickerViewModel model(devices, authorization(AuthorizationStatus::authorized));
    EXPECT_EQ(model.microphones(), (QList<MicrophoneDevice>{
                                       {"builtin", "Built-in Audio Analog Stereo"},
                                       {"codec-1", "USB Audio CODEC"},
                                       {"jabra", "JABRA EVOLVE 20"},
                                       {"codec-2", "USB Audio CODEC"},
                                       {"bt", "WH-1000XM4 bluetooth"},
                                   }));

    devices->list = {{"line", "Line In", false}};
    model.refreshMicrophones();
    EXPECT_TRUE(model.microphones().isEmpty());
    EXPECT_EQ(model.selectedDeviceID(), std::nullopt);
    EXPECT_EQ(model.selectedDevice(), std::nullopt);
}

TEST(MicrophoneListModelTest, ProposesTheListedDefaultElseTheFirstAndKeepsAChoiceThatStaysListed) {
    auto devices = std::make_shared<Devices>();
    devices->list = {{"builtin", "MacBook Microphone", true},
                     {"headset", "Logitech Headset", false}};
    devices->defaultID = "headset";
    {
        MicrophoneSourcePickerViewModel model(devices,
                                              authorization(AuthorizationStatus::authorized));
        EXPECT_EQ(model.selectedDeviceID(), "headset") << "the default, though not listed first";
        ASSERT_TRUE(model.selectedDevice());
        EXPECT_EQ(model.selectedDevice()->name, "Logitech Headset");
    }
    devices->list.push_back({"studio", "Studio Interface", false});
    devices->defaultID = "studio";  // dropped by the filter
    MicrophoneSourcePickerViewModel model(devices, authorization(AuthorizationStatus::authorized));
    EXPECT_EQ(model.selectedDeviceID(), "builtin");

    // A choice still listed survives a refresh; one that vanished gives way to the first entry.
    model.select(QStringLiteral("headset"));
    model.select(QStringLiteral("studio"));
    EXPECT_EQ(model.selectedDeviceID(), "headset") << "an unlisted id changes nothing";
    model.refreshMicrophones();
    EXPECT_EQ(model.selectedDeviceID(), "headset");
    devices->list = {{"usb", "USB Mic", false}, {"builtin", "MacBook Microphone", true}};
    model.refreshMicrophones();
    EXPECT_EQ(model.selectedDeviceID(), "usb");
    model.select(std::nullopt);
    EXPECT_EQ(model.selectedDeviceID(), std::nullopt);
    EXPECT_EQ(model.selectedDevice(), std::nullopt);
}

TEST(MicrophoneListModelTest, PermissionIsReadAtOnceOrAnsweredLaterOnTheMainQueue) {
    auto devices = std::make_shared<Devices>();
    devices->list = {{"usb", "USB Mic", false}};
    for (const auto& [status, expected] : {std::pair{AuthorizationStatus::authorized, true},
                                           std::pair{AuthorizationStatus::denied, false},
                                           std::pair{AuthorizationStatus::restricted, false}}) {
        const auto access = authorization(status);
        MicrophoneSourcePickerViewModel model(devices, access);
        EXPECT_EQ(model.hasRecordPermission(), expected);
        EXPECT_FALSE(access->pending) << "no prompt when the answer is known";
        EXPECT_EQ(model.microphones().size(), 1) << "the list does not depend on the permission";
    }

    // Not asked yet: the prompt's answer comes on a thread of the platform's.
    const auto access = authorization(AuthorizationStatus::notDetermined);
    MicrophoneSourcePickerViewModel model(devices, access);
    EXPECT_FALSE(model.hasRecordPermission());
    ASSERT_TRUE(access->pending);
    std::thread([answer = access->pending] { answer(true); }).join();
    EXPECT_TRUE(pumpUntil([&] { return model.hasRecordPermission(); }));

    // The picker closed before the user answered: the answer goes nowhere.
    const auto late = authorization(AuthorizationStatus::notDetermined);
    auto gone = std::make_unique<MicrophoneSourcePickerViewModel>(devices, late);
    ASSERT_TRUE(late->pending);
    gone.reset();
    std::thread([answer = late->pending] { answer(true); }).join();
    pumpFor(50);
}

TEST(MicrophoneListModelTest, TheVirtualDesktopsMicrophonesPassTheRealFilter) {
    const char* fakeMic = std::getenv("KORVANE_TEST_FAKE_MIC");
    const char* sineMic = std::getenv("KORVANE_TEST_SINE_SOURCE");
    if (!std::getenv("PULSE_SERVER") || !fakeMic || !sineMic) {
        GTEST_SKIP() << "needs the PulseAudio of scripts/virtual-desktop.sh (scripts/test.sh)";
    }
    MicrophoneSourcePickerViewModel model(
        platform::makePulseDeviceDiscovery(),
        std::make_shared<platform::DesktopMicrophoneAuthorization>());
    const auto microphones = model.microphones();
    EXPECT_TRUE(microphones.contains(MicrophoneDevice{fakeMic, "USB Fake Microphone"}))
        << ::testing::PrintToString(microphones);
    EXPECT_TRUE(microphones.contains(MicrophoneDevice{sineMic, "Sine Headset"}))
        << ::testing::PrintToString(microphones);
    for (const auto& microphone : microphones) {
        EXPECT_FALSE(microphone.id.endsWith(QLatin1String(".monitor")))
            << microphone.id.toStdString();
    }
    EXPECT_EQ(model.selectedDeviceID(), QString::fromLatin1(sineMic)) << "the server's default";
    EXPECT_TRUE(model.hasRecordPermission());
}

namespace {

class MicrophonePickerSceneTest : public ::testing::Test {
  protected:
    MicrophonePickerSceneTest()
        : defaults(QString::fromLocal8Bit(std::getenv("KORVANE_TEST_HOME")) +
                   QStringLiteral("/microphone-picker-%1.ini").arg(counter++)) {
        devices->list = {{"builtin", "Built-in Microphone", true},
                         {"usb", "USB Audio CODEC", false},
                         {"jabra", "Jabra Evolve", false}};
        devices->defaultID = "builtin";
        auto& center = platform::NotificationCenter::defaultCenter();
        token = center.addObserver(
            QString::fromLatin1(desktop::notifications::microphoneWindowDidClose),
            [this](const QVariantMap& info) {
                posts.push_back(info);
                eventsAtPost.push_back(router.events);
                if (pickerWindow) {
                    alphaAtPost = pickerWindow->opacity();
                    frameAtPost = desktop::windowFrame(*pickerWindow);
                }
            });
    }
    ~MicrophonePickerSceneTest() override {
        platform::NotificationCenter::defaultCenter().removeObserver(token);
    }

    std::unique_ptr<MicrophonePickerScene> makeScene() {
        return std::make_unique<MicrophonePickerScene>(
            router, defaults,
            std::make_unique<MicrophoneSourcePickerViewModel>(
                devices, authorization(AuthorizationStatus::authorized)));
    }
    // The picker's own window, as the scene manager would have it open.
    void openPickerWindow() {
        pickerWindow = std::make_unique<QQuickWindow>();
        desktop::setWindowFrame(*pickerWindow, {600, 400, 378, 330});
        router.windows.insert(QStringLiteral("MicrophoneWindow"), pickerWindow.get());
    }
    bool dismissed() const {
        return std::ranges::count(router.events, std::string("dismiss MicrophoneWindow")) > 0;
    }
    static void terminate() {
        platform::NotificationCenter::defaultCenter().post(
            QString::fromLatin1(desktop::notifications::applicationWillTerminate));
    }
    static int rowWith(MicrophonePickerScene& scene, const QString& id) {
        auto* rows = scene.rows();
        for (int row = 0; row < rows->rowCount(); ++row) {
            if (rows->index(row).data(setup::MicrophoneRows::MicIdRole).toString() == id) {
                return row;
            }
        }
        return -1;
    }
    static bool rowRole(MicrophonePickerScene& scene, const QString& id, int role) {
        return scene.rows()->index(rowWith(scene, id)).data(role).toBool();
    }

    static inline int counter = 0;
    std::shared_ptr<Devices> devices = std::make_shared<Devices>();
    platform::DefaultsStore defaults;
    FakeRouter router;
    std::unique_ptr<QQuickWindow> pickerWindow;
    platform::NotificationCenter::Token token = 0;
    std::vector<QVariantMap> posts;
    std::vector<std::vector<std::string>> eventsAtPost;
    double alphaAtPost = -1;
    platform::Rect frameAtPost;
};

}  // namespace

TEST_F(MicrophonePickerSceneTest,
       ARowClickStoresTheIdSlidesAwayAndAnswersOnceEvenWhenClickedAgain) {
    openPickerWindow();
    auto scene = makeScene();
    scene->onAppear();
    scene->rowClicked(QStringLiteral("usb"));
    EXPECT_EQ(scene->selectedMicID(), "usb");
    EXPECT_EQ(defaults.string(kKey), "usb") << "stored at the click, before the window leaves";
    EXPECT_TRUE(rowRole(*scene, "usb", setup::MicrophoneRows::IsSelectedRole));
    EXPECT_TRUE(posts.empty() && router.events.empty()) << "the chosen row shows for a moment";

    // A second click before and one while the card slides away.
    scene->rowClicked(QStringLiteral("jabra"));
    ASSERT_TRUE(pumpUntil([&] { return pickerWindow->opacity() < 1.0; }));
    scene->rowClicked(QStringLiteral("jabra"));
    scene->closeClicked();
    ASSERT_TRUE(pumpUntil([&] { return dismissed(); }));
    pumpFor(150);

    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0],
              (QVariantMap{{"selection", "mic"}, {"name", "USB Audio CODEC"}, {"id", "usb"}}));
    EXPECT_TRUE(eventsAtPost[0].empty()) << "posted before the window is dismissed";
    EXPECT_EQ(router.events, (std::vector<std::string>{"dismiss MicrophoneWindow"}));
    EXPECT_EQ(alphaAtPost, 0.0);
    EXPECT_EQ(frameAtPost, (platform::Rect{frameAtPost.x, 400 + 20, 378, 330})) << "20 down";
    EXPECT_EQ(defaults.string(kKey), "usb");
    EXPECT_EQ(scene->closeButtonColor(), desktop::AppResources::color("application_green"));
}

TEST_F(MicrophonePickerSceneTest, WithoutItsWindowTheChoiceIsStoredButNothingIsPostedOrDismissed) {
    auto scene = makeScene();
    scene->onAppear();
    scene->rowClicked(QStringLiteral("jabra"));
    pumpFor(400);
    EXPECT_EQ(defaults.string(kKey), "jabra");
    EXPECT_TRUE(posts.empty());
    EXPECT_TRUE(router.events.empty());
}

TEST_F(MicrophonePickerSceneTest, TheCloseButtonClosesOnTheNextTurnAndLeavesTheChoiceAlone) {
    defaults.setString(kKey, "jabra");
    openPickerWindow();
    auto scene = makeScene();
    scene->onAppear();
    EXPECT_EQ(scene->selectedMicID(), "jabra");
    scene->closeClicked();
    EXPECT_NE(scene->closeButtonColor(), desktop::AppResources::color("application_green"));
    EXPECT_TRUE(router.events.empty()) << "not from inside the click";
    scene->rowClicked(QStringLiteral("usb"));  // too late to choose
    ASSERT_TRUE(pumpUntil([&] { return dismissed(); }));
    pumpFor(400);
    EXPECT_EQ(router.events, (std::vector<std::string>{"dismiss MicrophoneWindow"}));
    EXPECT_TRUE(posts.empty());
    EXPECT_EQ(defaults.string(kKey), "jabra");
    EXPECT_EQ(pickerWindow->opacity(), 1.0) << "no slide, no fade";
}

TEST_F(MicrophonePickerSceneTest, QuittingWhileOpenForgetsTheChoiceButNotOnceThePickerIsGone) {
    defaults.setString(kKey, "usb");
    {
        auto scene = makeScene();
        scene->onAppear();
        terminate();
        EXPECT_EQ(defaults.string(kKey), "");
    }

    // Closed after a choice; the scene object may outlive its window for a moment.
    openPickerWindow();
    auto chosen = makeScene();
    chosen->onAppear();
    chosen->rowClicked(QStringLiteral("jabra"));
    ASSERT_TRUE(pumpUntil([&] { return dismissed(); }));
    terminate();
    EXPECT_EQ(defaults.string(kKey), "jabra");

    // Closed by the window manager.
    auto closedByUser = makeScene();
    closedByUser->onAppear();
    platform::NotificationCenter::defaultCenter().post(
        QString::fromLatin1(desktop::notifications::windowWillClose),
        {{QStringLiteral("identifier"), QStringLiteral("MicrophoneWindow")}});
    terminate();
    EXPECT_EQ(defaults.string(kKey), "jabra");

    // Another window closing is not this one going.
    auto stillOpen = makeScene();
    platform::NotificationCenter::defaultCenter().post(
        QString::fromLatin1(desktop::notifications::windowWillClose),
        {{QStringLiteral("identifier"), QStringLiteral("SourcePickerWindow")}});
    terminate();
    EXPECT_EQ(defaults.string(kKey), "");
}

TEST_F(MicrophonePickerSceneTest, AStoredDeviceThatIsNoLongerListedMarksNothingAndStaysStored) {
    defaults.setString(kKey, "unplugged");
    auto scene = makeScene();
    scene->onAppear();
    pumpFor(20);
    EXPECT_EQ(scene->selectedMicID(), std::nullopt);
    EXPECT_EQ(scene->selectedMicIDText(), "");
    for (const char* id : {"builtin", "usb", "jabra"}) {
        EXPECT_FALSE(rowRole(*scene, id, setup::MicrophoneRows::IsSelectedRole)) << id;
        EXPECT_FALSE(rowRole(*scene, id, setup::MicrophoneRows::IsHighlightedRole)) << id;
    }
    EXPECT_EQ(defaults.string(kKey), "unplugged");
}

TEST_F(MicrophonePickerSceneTest, HoverMarksTheRowUnderThePointerAndTheCursorStaysAPointingHand) {
    auto scene = makeScene();
    EXPECT_EQ(scene->cursorShape(), Qt::ArrowCursor);
    scene->rowHoverChanged(QStringLiteral("usb"), true);
    EXPECT_EQ(scene->cursorShape(), Qt::PointingHandCursor);
    EXPECT_TRUE(rowRole(*scene, "usb", setup::MicrophoneRows::IsHighlightedRole));
    EXPECT_FALSE(rowRole(*scene, "usb", setup::MicrophoneRows::IsSelectedRole));

    // The next row is entered before the previous one reports leaving.
    scene->rowHoverChanged(QStringLiteral("jabra"), true);
    scene->rowHoverChanged(QStringLiteral("usb"), false);
    EXPECT_EQ(scene->hoveringMicID(), "jabra");
    EXPECT_FALSE(rowRole(*scene, "usb", setup::MicrophoneRows::IsHighlightedRole));
    scene->rowHoverChanged(QStringLiteral("jabra"), false);
    EXPECT_EQ(scene->hoveringMicID(), std::nullopt);
    EXPECT_EQ(scene->cursorShape(), Qt::PointingHandCursor) << "not set back on leaving";
}

TEST_F(MicrophonePickerSceneTest, ThePickerSitsBesideTheMainWindowElseInTheMainScreen) {
    // Restated in y-down terms: 425 in from the reference's right edge, the picker's bottom edge
    // 70 above the reference's bottom edge.
    EXPECT_EQ(MicrophonePickerScene::pickerFrame({1000, 200, 400, 700}, 378, 330),
              (platform::Rect{597, 500, 378, 330}));

    openPickerWindow();
    QQuickWindow mainWindow;
    desktop::setWindowFrame(mainWindow, {1000, 200, 400, 700});
    router.windows.insert(QStringLiteral("KVWindowGroup"), &mainWindow);
    auto scene = makeScene();
    scene->onAppear();
    EXPECT_EQ(desktop::windowFrame(*pickerWindow), (platform::Rect{600, 400, 378, 330}))
        << "placed on the next turn";
    ASSERT_TRUE(pumpUntil([&] { return desktop::windowFrame(*pickerWindow).x == 597; }));
    EXPECT_EQ(desktop::windowFrame(*pickerWindow), (platform::Rect{597, 500, 378, 330}));

    router.windows.remove(QStringLiteral("KVWindowGroup"));
    const auto screen = desktop::mainScreenVisibleFrame();
    if (!screen) {
        return;
    }
    auto again = makeScene();
    again->onAppear();
    const auto expected = MicrophonePickerScene::pickerFrame(*screen, 378, 330);
    EXPECT_TRUE(pumpUntil([&] { return desktop::windowFrame(*pickerWindow) == expected; }));
}

TEST_F(MicrophonePickerSceneTest, TheViewShowsOneRowPerMicrophoneAndChecksOnlyTheChosenOne) {
    QQmlEngine engine;
    prepareSetupEngine(engine);
    QStringList warnings;
    QObject::connect(&engine, &QQmlEngine::warnings, [&](const QList<QQmlError>& errors) {
        for (const auto& error : errors) {
            warnings.append(error.toString());
        }
    });
    QQmlComponent component(
        &engine, QUrl(QStringLiteral("qrc:/qt/qml/Korvane/Setup/qml/MicrophoneWindow.qml")));
    auto show = [&](MicrophonePickerScene& scene) {
        std::unique_ptr<QObject> made(component.createWithInitialProperties(
            {{"model", QVariant::fromValue<QObject*>(&scene)}}));
        EXPECT_NE(qobject_cast<QQuickWindow*>(made.get()), nullptr)
            << component.errorString().toStdString();
        return made;
    };

    defaults.setString(kKey, "usb");
    auto scene = makeScene();
    const auto made = show(*scene);
    ASSERT_TRUE(made);
    auto* window = qobject_cast<QQuickWindow*>(made.get());
    EXPECT_EQ(window->size(), QSize(378, 330));
    scene->onAppear();
    QQuickItem* root = window->contentItem();
    for (const char* id : {"builtin", "usb", "jabra"}) {
        QQuickItem* row = findItem(root, QStringLiteral("row:") + id);
        ASSERT_TRUE(row) << id;
        EXPECT_EQ(row->size(), QSizeF(330, 53));
        EXPECT_EQ(findItem(row, "checkmark")->isVisible(), std::string(id) == "usb") << id;
    }
    EXPECT_FALSE(findItem(root, "emptyText")->isVisible());
    EXPECT_EQ(findItem(root, "list")->height(), 210);
    const QPointF header = findItem(root, "header")->mapToScene({0, 0});

    devices->list.clear();
    auto empty = makeScene();
    const auto madeEmpty = show(*empty);
    ASSERT_TRUE(madeEmpty);
    QQuickItem* emptyRoot = qobject_cast<QQuickWindow*>(madeEmpty.get())->contentItem();
    EXPECT_TRUE(findItem(emptyRoot, "emptyText")->isVisible());
    EXPECT_EQ(findItem(emptyRoot, "emptyText")->property("text").toString(),
              "No microphones found");
    // The list fills its height whatever it holds: the header does not move with it.
    EXPECT_EQ(findItem(emptyRoot, "list")->height(), 210);
    EXPECT_EQ(findItem(emptyRoot, "header")->mapToScene({0, 0}), header);
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join('\n').toStdString();
}
