// The recording bar on fakes: the server's time before the start, the timer, the microphone
// button and the order in which Stop and Delete close windows, with a real server on loopback.
#include "RecordingBarScene.h"
#include "ServerTime.h"
#include "SessionQml.h"

#include "FakeRouter.h"
#include "FindItem.h"
#include "NotifyAudit.h"
#include "Pump.h"
#include "RecorderFakes.h"
#include "TestHttpServer.h"

#include "HttpClient.h"
#include "desktop/Notifications.h"
#include "desktop/WindowControl.h"
#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>

#include <QSignalSpy>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using session::RecordingBarScene;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const QString kTimeKey = QString::fromLatin1(session::currentDateTimeKey);
const std::string kTime = R"({"currentDateTime":"2024-05-01T10:00:00Z"})";

// One bar with its recorder, router and recording API. The router's events, the bar's
// notifications and the recorder's suppression and selection are written down in one order.
struct Bar {
    // `adjust` changes what the recorder stands on (its folder, its writer, its capture).
    explicit Bar(const std::function<void(recording::RecorderEnvironment&)>& adjust = {}) {
        auto environment = rig.environment();
        if (adjust) {
            adjust(environment);
        }
        rig.recorder = recording::ScreenRecorder::create(rig.videos, environment);
        const auto window = rig.windowServer->windows().front();
        rig.recorder->capture().applyPickerFilter({{window}, {}, window.frame});
        server.on("GET", "/api/v1/health/", [this](const RecordedRequest&, httplib::Response& r) {
            staleSeen = rig.defaults->contains(kTimeKey);
            while (hold) {
                std::this_thread::sleep_for(5ms);
            }
            r.status = status;
            r.set_content(body, "application/json");
        });
        scene = std::make_unique<RecordingBarScene>(router, rig.recorder, *rig.defaults,
                                                    std::make_shared<api::HttpClient>(),
                                                    QString::fromStdString(server.baseURL()));
        token = platform::NotificationCenter::defaultCenter().addObserver(
            QString::fromLatin1(desktop::notifications::recordingBarShouldClose),
            [this](const QVariantMap&) {
                router.events.push_back("post RecordingBarShouldClose");
            });
        QObject::connect(rig.recorder.get(),
                         &recording::ScreenRecorder::suppressRecordingBarChanged,
                         [this] { router.events.push_back("suppressed"); });
        QObject::connect(rig.recorder.get(), &recording::ScreenRecorder::selectedContentInfoChanged,
                         [this] { router.events.push_back("selection cleared"); });
    }
    ~Bar() {
        hold = false;
        pumpFor(120);  // hand-overs still queued go to this router, not a later test's
        platform::NotificationCenter::defaultCenter().removeObserver(token);
    }
    recording::ScreenRecorder& recorder() { return *rig.recorder; }
    QString text() const { return scene->elapsedTimeText(); }
    // The bar appears; true once the server answered and the recording runs.
    bool start() {
        scene->onAppear();
        return pumpUntil([&] { return recorder().isRecording(); });
    }
    // The bar's own window and a reminder beside it, as the router would find them.
    void openWindows() {
        for (const char* id : {"RecordingBarGroup", "InactivityReminderWindow"}) {
            windows.push_back(std::make_unique<QQuickWindow>());
            windows.back()->setTitle(id == std::string("RecordingBarGroup") ? "RecordingBarWindow"
                                                                            : id);
            windows.back()->show();
            router.windows.insert(id, windows.back().get());
        }
    }
    bool has(const std::string& event) const {
        return std::ranges::find(router.events, event) != router.events.end();
    }

    fakes::Rig rig;
    FakeRouter router;
    std::atomic<bool> hold{false};
    std::atomic<bool> staleSeen{false};
    int status = 200;
    std::string body = kTime;
    // After what its handler reads: the server (and a request it is still answering) goes first.
    TestHttpServer server;
    std::unique_ptr<RecordingBarScene> scene;
    std::vector<std::unique_ptr<QQuickWindow>> windows;
    platform::NotificationCenter::Token token = 0;
};

}  // namespace

TEST(RecordingBarSceneTest, TheServerTimeIsAskedForAfreshAndTheRecordingStartsWhateverTheAnswer) {
    Bar ok;
    ok.rig.defaults->setString(kTimeKey, "an earlier session's");
    ASSERT_TRUE(ok.start());
    EXPECT_FALSE(ok.staleSeen) << "removed before asking";
    EXPECT_EQ(ok.rig.defaults->string(kTimeKey), "2024-05-01T10:00:00Z");
    EXPECT_TRUE(ok.recorder().isRecordingBarPresented());
    EXPECT_EQ(ok.text(), "00:00");

    for (int status : {500, 200}) {
        Bar failing;
        failing.rig.defaults->setString(kTimeKey, "an earlier session's");
        failing.status = status;
        failing.body = R"({"serverTime":"x"})";
        ASSERT_TRUE(failing.start()) << status;
        EXPECT_FALSE(failing.rig.defaults->contains(kTimeKey)) << status;
    }

    Bar unreachable;
    unreachable.scene = std::make_unique<RecordingBarScene>(
        unreachable.router, unreachable.rig.recorder, *unreachable.rig.defaults,
        std::make_shared<api::HttpClient>(), QStringLiteral("http://127.0.0.1:1"));
    ASSERT_TRUE(unreachable.start());
    EXPECT_FALSE(unreachable.rig.defaults->contains(kTimeKey));
}

TEST(RecordingBarSceneTest, NothingActsOrStartsBeforeTheRecordingRunsOrAfterTheBarWent) {
    Bar bar;
    bar.hold = true;
    bar.scene->onAppear();
    ASSERT_TRUE(pumpUntil([&] { return bar.server.requestCount() == 1; }));
    bar.scene->stopClicked();
    bar.scene->deleteClicked();
    bar.scene->repeatClicked();
    pumpFor(100);
    EXPECT_TRUE(bar.router.events.empty());
    EXPECT_TRUE(bar.recorder().hasSelectedContent());
    bar.hold = false;
    ASSERT_TRUE(pumpUntil([&] { return bar.recorder().isRecording(); }));
    pumpFor(250);
    EXPECT_EQ(bar.rig.streamsMade, 1) << "one capture, started by the answer only";

    // The bar closes, or goes altogether, while the server is still thinking.
    for (bool deleted : {false, true}) {
        Bar late;
        late.hold = true;
        late.scene->onAppear();
        ASSERT_TRUE(pumpUntil([&] { return late.server.requestCount() == 1; }));
        deleted ? late.scene.reset() : late.scene->onDisappear();
        EXPECT_FALSE(late.recorder().isRecordingBarPresented());
        late.hold = false;
        pumpFor(300);
        EXPECT_EQ(late.rig.streamsMade, 0) << deleted;
        EXPECT_FALSE(late.rig.defaults->contains(kTimeKey)) << deleted;
    }

    // Shown over a recording that already runs: that one is stopped and no server is asked.
    Bar over;
    over.rig.beginRecording();
    over.scene->onAppear();
    EXPECT_TRUE(pumpUntil([&] { return !over.recorder().isRecording(); }));
    EXPECT_EQ(over.server.requestCount(), 0u);
}

TEST(RecordingBarSceneTest, StopClosesTheBarAndOpensThePostSessionWindow) {
    Bar bar;
    ASSERT_TRUE(bar.start());
    bar.openWindows();
    bar.router.events.clear();
    bar.scene->stopClicked();
    EXPECT_FALSE(bar.scene->isTimerRunning());
    ASSERT_TRUE(pumpUntil([&] { return bar.has("open CollectingInformationGroup"); }));
    EXPECT_EQ(bar.router.events,
              (std::vector<std::string>{
                  "suppressed", "post RecordingBarShouldClose", "dismiss RecordingBarGroup",
                  "dismiss InactivityReminderWindow", "open CollectingInformationGroup"}));
    EXPECT_FALSE(bar.windows[0]->isVisible());
    EXPECT_TRUE(pumpUntil([&] { return bar.rig.videos->uploadedPaths.size() == 1; }));

    // Too late to bring the bar back.
    bar.router.windows.insert("RecordingBarGroup", bar.windows[0].get());
    platform::NotificationCenter::defaultCenter().post(
        QString::fromLatin1(desktop::notifications::recordingBarShouldShow));
    pumpFor(50);
    EXPECT_FALSE(bar.windows[0]->isVisible());
    bar.scene->onDisappear();
    EXPECT_FALSE(bar.recorder().isRecordingBarPresented());
}

TEST(RecordingBarSceneTest, DeleteDiscardsTheTakeAndGoesBackToThePreparationPage) {
    Bar bar;
    ASSERT_TRUE(bar.start());
    bar.openWindows();
    bar.router.events.clear();
    bar.scene->deleteClicked();
    ASSERT_TRUE(pumpUntil([&] { return bar.has("dismiss InactivityReminderWindow"); }));
    EXPECT_EQ(bar.router.events,
              (std::vector<std::string>{"selection cleared", "suppressed", "page prepareSession",
                                        "post RecordingBarShouldClose", "dismiss RecordingBarGroup",
                                        "open KVWindowGroup", "dismiss InactivityReminderWindow"}));
    EXPECT_TRUE(pumpUntil([&] { return !bar.recorder().isRecording(); }));
    EXPECT_TRUE(bar.rig.videos->uploadedPaths.empty());
}

TEST(RecordingBarSceneTest, RepeatStartsANewTakeWithTheSameServerTime) {
    Bar bar;
    ASSERT_TRUE(bar.start());
    for (int i = 0; i < 5; ++i) {
        bar.scene->elapsedTick();
    }
    bar.scene->repeatClicked();
    ASSERT_TRUE(
        pumpUntil([&] { return bar.rig.streamsMade == 2 && bar.recorder().isRecording(); }));
    EXPECT_EQ(bar.text(), "00:00");
    EXPECT_EQ(bar.server.requestCount(), 1u);
    EXPECT_EQ(bar.rig.defaults->string(kTimeKey), "2024-05-01T10:00:00Z");
    EXPECT_TRUE(bar.router.events.empty());
}

// Whatever keeps a recording from beginning (its folder, its file, the capture, the writer), the
// bar hands over to the post-session window's alert at once, as after Stop, with nothing uploaded
// and no key left naming a file that is not there.
TEST(RecordingBarSceneTest, EveryStartThatFailsHandsOverToThePostSessionWindowAtOnce) {
    using Adjust = std::function<void(recording::RecorderEnvironment&)>;
    const fs::path home = fs::path(std::getenv("KORVANE_TEST_HOME")) / "failed-starts";
    fs::create_directories(home / "read-only");
    { std::ofstream(home / "plain-file") << "x"; }
    // Permissions do not stop root: a read-only file system does.
    const bool readOnly = ::geteuid() == 0 ? ::mount("tmpfs", (home / "read-only").c_str(), "tmpfs",
                                                     MS_RDONLY, "size=64k") == 0
                                           : ::chmod((home / "read-only").c_str(), 0500) == 0;
    const auto folder = [](fs::path path) -> Adjust {
        return [path](auto& env) { env.recordingsFolder = path.string(); };
    };
    struct Case {
        std::string name;
        Adjust adjust;
        std::function<void(Bar&)> arrange;
        bool needsFrame = false;
    };
    std::vector<Case> cases{
        {"the folder is a plain file", folder(home / "plain-file"), {}},
        {"the capture is refused",
         {},
         [](Bar& b) {
             b.rig.stream->startError = platform::CaptureError{"t", 1, "gone"};
         }},
        {"no capture stream", [](auto& env) { env.captureStreamFactory = nullptr; }, {}},
        {"nothing chosen", {}, [](Bar& b) { b.recorder().capture().forgetContent(); }},
        {"no writer can be made",
         [](auto& env) {
             env.writerFactory = [](const std::string&)
                 -> std::expected<std::unique_ptr<platform::AssetWriter>, std::string> {
                 return std::unexpected(std::string("Could not open the file"));
             };
         },
         {},
         true},
        {"the writer will not start", {}, [](Bar& b) { b.rig.writer->failStart = true; }, true},
    };
    if (readOnly) {
        cases.push_back({"the folder takes no file", folder(home / "read-only"), {}});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bar bar(c.adjust);
        if (c.arrange) {
            c.arrange(bar);
        }
        QSignalSpy raised(bar.rig.recorder.get(), &recording::ScreenRecorder::isShowErrorChanged);
        bar.scene->onAppear();
        if (c.needsFrame) {
            ASSERT_TRUE(pumpUntil([&] { return bar.recorder().isRecording(); }));
            bar.rig.sendFrame(320, 240, platform::MediaTime(0, 30));
        }
        ASSERT_TRUE(pumpUntil([&] { return bar.has("open CollectingInformationGroup"); }))
            << "handed over without Stop";
        EXPECT_TRUE(bar.has("dismiss RecordingBarGroup"));
        EXPECT_EQ(raised.count(), 1);
        EXPECT_TRUE(bar.recorder().isShowError());
        EXPECT_FALSE(bar.recorder().isRecording());
        EXPECT_FALSE(bar.recorder().errorMessageText().isEmpty());
        EXPECT_FALSE(bar.scene->isTimerRunning());
        EXPECT_TRUE(bar.rig.videos->uploadedPaths.empty());
        const auto key = bar.rig.defaults->string("currentVideoPath");
        EXPECT_TRUE(!key || fs::exists(*key)) << key.value_or("");
    }
    if (readOnly && ::geteuid() == 0) {
        ::umount2((home / "read-only").c_str(), MNT_DETACH);
    }
}

TEST(RecordingBarSceneTest, StopInTheGapOfARepeatLeavesTheBar) {
    Bar bar;
    ASSERT_TRUE(bar.start());
    // Stop pressed just as the first take ended and before the second one runs: a capture is
    // about to start, and closing the bar now would leave it running without one.
    QObject::connect(bar.rig.recorder.get(), &recording::ScreenRecorder::isRecordingChanged,
                     bar.scene.get(), [&] {
                         if (!bar.recorder().isRecording()) {
                             bar.scene->stopClicked();
                         }
                     });
    bar.scene->repeatClicked();
    ASSERT_TRUE(
        pumpUntil([&] { return bar.rig.streamsMade == 2 && bar.recorder().isRecording(); }));
    EXPECT_FALSE(bar.has("dismiss RecordingBarGroup"));
}

TEST(RecordingBarSceneTest, TheTimerCountsRecordedTimeOnly) {
    EXPECT_EQ(session::elapsedTimeText(59), "00:59");
    EXPECT_EQ(session::elapsedTimeText(3661), "61:01");
    Bar bar;
    EXPECT_EQ(bar.text(), "00:00");
    bar.rig.beginRecording();
    ASSERT_TRUE(pumpUntil([&] { return bar.text() == "00:01"; }, 3000)) << "the real timer ticks";
    for (int i = 1; i < 7; ++i) {
        bar.scene->elapsedTick();
    }
    bar.recorder().setIsPaused(true);
    EXPECT_FALSE(bar.scene->isTimerRunning());
    bar.recorder().setIsPaused(false);
    EXPECT_TRUE(bar.scene->isTimerRunning());
    EXPECT_EQ(bar.text(), "00:07") << "resumed from the kept value";
    for (int i = 7; i < 3600; ++i) {
        bar.scene->elapsedTick();
    }
    EXPECT_EQ(bar.text(), "60:00");
    bar.recorder().stopRecording();
    ASSERT_TRUE(pumpUntil([&] { return !bar.recorder().isRecording(); }));
    EXPECT_FALSE(bar.scene->isTimerRunning());
    bar.rig.beginRecording();
    EXPECT_EQ(bar.text(), "00:00");
    bar.scene->onDisappear();
    EXPECT_FALSE(bar.scene->isTimerRunning());
}

TEST(RecordingBarSceneTest, TheMicrophoneButtonShowsAndTogglesWhatIsHeard) {
    Bar bar;
    NotifyAudit audit(bar.scene.get());
    const auto icon = [&] { return bar.scene->microphoneIconName().toStdString(); };
    EXPECT_EQ(icon(), "microphone.slash.fill") << "no microphone chosen";
    EXPECT_EQ(audit.silentChanges(), "");
    bar.recorder().setSelectedMicrophoneName(QStringLiteral("mic-1"));
    bar.recorder().setMicrophoneMuted(false);
    EXPECT_EQ(icon(), "microphone.fill");
    EXPECT_EQ(audit.silentChanges(), "");
    bar.scene->microphoneClicked();
    EXPECT_TRUE(bar.recorder().isMicrophoneMuted());
    EXPECT_EQ(icon(), "microphone.slash.fill");
    EXPECT_EQ(audit.silentChanges(), "");
    bar.scene->microphoneClicked();
    EXPECT_EQ(icon(), "microphone.fill");
    EXPECT_EQ(audit.silentChanges(), "");
    bar.recorder().setCapturesAudio(false);
    EXPECT_EQ(icon(), "microphone.slash.fill");
    EXPECT_EQ(audit.silentChanges(), "");
    bar.recorder().setCapturesAudio(true);

    // Access refused: the request is answered with no, without an alert and without a change.
    bar.rig.authorization->current = platform::AuthorizationStatus::denied;
    bar.recorder().microphone().refreshAvailability();
    EXPECT_EQ(icon(), "microphone.slash.fill");
    EXPECT_EQ(audit.silentChanges(), "");
    bar.scene->microphoneClicked();
    ASSERT_TRUE(bar.rig.authorization->pending);
    bar.rig.authorization->pending(false);
    pumpFor(20);
    EXPECT_TRUE(bar.rig.ui->alerts.empty());
    EXPECT_TRUE(bar.recorder().isMicrophoneMuted());
    EXPECT_EQ(icon(), "microphone.slash.fill");
    EXPECT_EQ(audit.silentChanges(), "");
}

TEST(RecordingBarSceneTest, AReminderOpensAfreshForEachNewCountOnly) {
    Bar bar;
    bar.recorder().silence().update(true);
    ASSERT_TRUE(pumpUntil([&] { return bar.has("open InactivityReminderWindow"); }));
    bar.recorder().microphone().stop(false);  // the count goes back to 0
    ASSERT_EQ(bar.recorder().inactivityReminderToken(), 0);
    bar.recorder().silence().update(true);
    ASSERT_TRUE(pumpUntil([&] { return bar.router.events.size() == 4; }));
    pumpFor(100);
    EXPECT_EQ(bar.router.events,
              (std::vector<std::string>{
                  "dismiss InactivityReminderWindow", "open InactivityReminderWindow",
                  "dismiss InactivityReminderWindow", "open InactivityReminderWindow"}));
}

TEST(RecordingBarSceneTest, TheBarSlidesInAtTheBottomCentre) {
    // y-down: the bottom edge 50 above the visible frame's bottom; a frame narrower than the bar
    // ends it at the right edge; one too short puts it at the top.
    EXPECT_EQ(session::recordingBarFrame({0, 0, 1920, 1080}),
              (platform::Rect{782.5, 978, 355, 52}));
    EXPECT_EQ(session::recordingBarFrame({100, 0, 300, 800}), (platform::Rect{45, 698, 355, 52}));
    EXPECT_EQ(session::recordingBarFrame({0, 500, 800, 80}), (platform::Rect{222.5, 500, 355, 52}));

    Bar bar;
    bar.openWindows();
    QQuickWindow& window = *bar.windows[0];
    const auto visible = desktop::mainScreenVisibleFrame();
    ASSERT_TRUE(visible);
    const platform::Rect target = session::recordingBarFrame(*visible);
    bar.scene->placeRecordingBarWindow();
    EXPECT_EQ(window.opacity(), 0.0);
    EXPECT_EQ(desktop::windowFrame(window).y, visible->y + visible->height + 20);
    EXPECT_TRUE(pumpUntil([&] {
        const auto frame = desktop::windowFrame(window);
        return std::abs(frame.x - target.x) <= 0.5 && frame.y == target.y &&
               window.opacity() == 1.0;
    }));
}

TEST(RecordingBarSceneTest, TheViewNamesItsWindowAndLeavesNoOtherBar) {
    QQmlEngine engine;
    prepareSessionEngine(engine);
    QStringList warnings;
    QObject::connect(&engine, &QQmlEngine::warnings, [&](const QList<QQmlError>& errors) {
        for (const auto& error : errors) {
            warnings.append(error.toString());
        }
    });
    QWindow stale;
    stale.setObjectName("RecordingBarWindow");
    stale.show();
    Bar bar;
    QQmlComponent component(
        &engine, QUrl(QStringLiteral("qrc:/qt/qml/Korvane/Session/qml/RecordingBarGroup.qml")));
    std::unique_ptr<QObject> made(component.createWithInitialProperties(
        {{"model", QVariant::fromValue<QObject*>(bar.scene.get())}}));
    auto* window = qobject_cast<QQuickWindow*>(made.get());
    ASSERT_TRUE(window) << component.errorString().toStdString();
    EXPECT_EQ(window->title(), "RecordingBarWindow");
    EXPECT_EQ(window->objectName(), "RecordingBarWindow");
    EXPECT_EQ(window->size(), QSize(355, 52));
    EXPECT_FALSE(stale.isVisible());
    EXPECT_EQ(findItem(window->contentItem(), "elapsedTime")->property("text").toString(), "00:00");
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join('\n').toStdString();
}
