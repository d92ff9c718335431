// A whole trading session on the virtual desktop, end to end: the real application objects (the
// scenes and their windows, the recorder with X11 capture, PulseAudio and the FFmpeg writer, the
// HTTP client) against the stand-in services, driven through the windows' own operations as the
// trader's clicks drive them. What the stand-in received and what it joined are checked as well.
#include "KorvaneApp.h"
#include "KorvaneComposition.h"
#include "Scenes.h"

#include "CollectingInformationScene.h"
#include "MicrophonePickerScene.h"
#include "PrepareSessionScene.h"
#include "RecordingBarScene.h"
#include "SourcePickerScene.h"
#include "StartRecordingScene.h"

#include "desktop/AppResources.h"
#include "desktop/ContentPickerModel.h"
#include "desktop/DesktopContentSharingPicker.h"
#include "x11/X11WindowServer.h"

#include "DevServer.h"

#include "AppQml.h"
#include "Await.h"
#include "MediaFile.h"
#include "Pump.h"
#include "X11TestDesktop.h"

#include <QGuiApplication>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSignalSpy>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Each step is an event awaited, not a duration measured: the bound only keeps a broken run from
// hanging, and is generous because windows come up many times slower on a loaded machine.
constexpr int kStepLimitMs = 30000;
// Finishing the file and sending it may take a while when the encoder is behind.
constexpr int kUploadLimitMs = 90000;

const QString kLogin = QStringLiteral("LoginWindowGroup");
const QString kMain = QStringLiteral("KVWindowGroup");
const QString kSourcePicker = QStringLiteral("SourcePickerWindow");
const QString kMicrophonePicker = QStringLiteral("MicrophoneWindow");
const QString kCountdown = QStringLiteral("Countdown");
const QString kBar = QStringLiteral("RecordingBarGroup");
const QString kCollecting = QStringLiteral("CollectingInformationGroup");
const std::string kUploadPath = "/api/v1/video/upload";

template <class T>
T* modelOf(QObject* view) {
    return view ? qobject_cast<T*>(view->property("model").value<QObject*>()) : nullptr;
}

std::vector<std::string> partNames(const devserver::ObservedRequest& request) {
    std::vector<std::string> names;
    for (const auto& part : request.parts) {
        names.push_back(part.name);
    }
    return names;
}

std::string partValue(const devserver::ObservedRequest& request, const std::string& name) {
    for (const auto& part : request.parts) {
        if (part.name == name) {
            return part.value;
        }
    }
    return "<absent>";
}

// Seconds on the steady clock, the clock the picture's and the microphone's times are on.
double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double seconds(std::int64_t value, AVRational base) {
    return static_cast<double>(value) * av_q2d(base);
}

class WholeSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_DISPLAY();
        if (!std::getenv("PULSE_SERVER") || !std::getenv("KORVANE_TEST_SINE_SOURCE")) {
            GTEST_SKIP() << "needs the PulseAudio of scripts/virtual-desktop.sh";
        }
        // Fresh for each run: a sign-in, a stored time or a recording of the first run must not
        // help the second.
        home = fs::path(std::getenv("KORVANE_TEST_HOME")) /
               ("whole-session-" + std::to_string(counter++));
        server = std::make_unique<devserver::DevServer>(
            devserver::Config{"127.0.0.1", 0, "trader", "korvane", home / "stand-in"});
        server->setRequestObserver([this](const devserver::ObservedRequest& request) {
            std::lock_guard lock(mutex);
            requests.push_back(request);
        });
        const auto port = server->start();
        ASSERT_TRUE(port) << port.error();

        defaults = std::make_unique<platform::DefaultsStore>(
            QString::fromStdString((home / "defaults.ini").string()));
        windowServer = platform::makeX11WindowServer();
        picker = std::make_shared<desktop::DesktopContentSharingPicker>(windowServer);
        configuration.webBaseURL = server->baseUrl();
        configuration.recordingApiBaseURL = server->baseUrl();
        recordings = home / "recordings";
        // As the application composes itself, with this run's own store and folder.
        composition = std::make_unique<app::KorvaneComposition>(
            configuration, api::HttpClient::shared(), std::make_shared<FixedReachability>(true),
            [this] {
                auto environment = recording::RecorderEnvironment::desktop();
                environment.defaults = defaults.get();
                environment.recordingsFolder = recordings.string();
                environment.windowServer = windowServer;
                environment.contentPicker = picker;
                return environment;
            },
            *defaults);
        prepareAppEngine(engine);
        korvane = std::make_unique<app::KorvaneApp>(*composition, engine, *defaults);
        korvane->router().setUrlOpener([this](const QUrl& url) { openedURLs.push_back(url); });
    }

    void TearDown() override {
        korvane.reset();
        pumpFor(20);
        recorder.reset();
        composition.reset();
        if (server) {
            server->stop();
        }
    }

    QQuickWindow* window(const QString& id) { return korvane->scenes().window(id); }

    bool opens(const QString& id) {
        return pumpUntil([&] { return window(id) != nullptr; }, kStepLimitMs);
    }
    bool closes(const QString& id) {
        return pumpUntil([&] { return window(id) == nullptr; }, kStepLimitMs);
    }

    // The logic of the page the main window shows, once it is that page.
    template <class T>
    T* page() {
        QQuickWindow* main = window(kMain);
        if (!main) {
            return nullptr;
        }
        for (QQuickItem* item : main->contentItem()->childItems()) {
            for (QQuickItem* child : item->childItems()) {
                if (auto* scene = modelOf<T>(child)) {
                    return scene;
                }
            }
        }
        return nullptr;
    }
    template <class T>
    T* awaitPage() {
        T* scene = nullptr;
        pumpUntil([&] { return (scene = page<T>()) != nullptr; }, kStepLimitMs);
        return scene;
    }

    std::vector<devserver::ObservedRequest> received() {
        std::lock_guard lock(mutex);
        return requests;
    }
    // "METHOD path" of each request, in the order they were answered.
    std::vector<std::string> requestLines() {
        std::vector<std::string> lines;
        for (const auto& request : received()) {
            lines.push_back(request.method + " " + request.path);
        }
        return lines;
    }
    std::vector<devserver::ObservedRequest> received(const std::string& method,
                                                     const std::string& path) {
        std::vector<devserver::ObservedRequest> found;
        for (auto& request : received()) {
            if (request.method == method && request.path == path) {
                found.push_back(std::move(request));
            }
        }
        return found;
    }

    std::string stored(const char* key) {
        return defaults->string(QString::fromLatin1(key)).value_or("");
    }

    // Our content picker's window, once it is up.
    desktop::ContentPickerModel* contentPicker() {
        for (QWindow* candidate : QGuiApplication::topLevelWindows()) {
            auto* model = qobject_cast<desktop::ContentPickerModel*>(
                candidate->property("picker").value<QObject*>());
            if (model && candidate->isVisible()) {
                return model;
            }
        }
        return nullptr;
    }

    // The sign-in window, as the launch window opens it when no session is stored.
    void signIn() {
        korvane->scenes().openWindow(kLogin);
        ASSERT_TRUE(opens(kLogin));
        auto* login = modelOf<app::LoginScene>(window(kLogin));
        ASSERT_TRUE(login);
        login->viewModel()->setUserName(QStringLiteral("trader"));
        login->viewModel()->setPassword(QStringLiteral("korvane"));
        login->logic()->loginTapped();
        ASSERT_TRUE(closes(kLogin)) << "signed in: the sign-in window goes";
        ASSERT_TRUE(opens(kMain));
        EXPECT_EQ(korvane->router().page(), desktop::PagesEnum::startSession);
        EXPECT_THAT(stored("cookie"), testing::StartsWith("sessionid="));
        EXPECT_THAT(requestLines(), testing::ElementsAre("POST /api/sagevane/auth"));
    }

    // Start page, preparation page, the display through our content picker, the sine
    // microphone; then Start, the countdown and the bar, until the recorder records.
    void prepareAndStart() {
        prepareAndCountDown();
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_TRUE(opens(kBar)) << "the bar follows the countdown";
        EXPECT_TRUE(closes(kCountdown));
        bar = modelOf<session::RecordingBarScene>(window(kBar));
        ASSERT_TRUE(bar);
        EXPECT_EQ(window(kBar)->title(), QStringLiteral("RecordingBarWindow"));
        ASSERT_TRUE(pumpUntil([&] { return recorder->isRecording(); }, kStepLimitMs))
            << recorder->errorMessageText().toStdString();
        EXPECT_FALSE(recorder->isShowError());
    }

    // Everything before the countdown, then Start.
    void prepareAndCountDown() {
        auto* start = awaitPage<setup::StartRecordingScene>();
        ASSERT_TRUE(start) << "the start page";
        start->startSession();
        setup::PrepareSessionScene* prepare = awaitPage<setup::PrepareSessionScene>();
        ASSERT_TRUE(prepare) << "the preparation page";
        recorder = composition->screenRecorder();

        prepare->sourceCardTapped();
        ASSERT_TRUE(opens(kSourcePicker));
        auto* sources = modelOf<setup::SourcePickerScene>(window(kSourcePicker));
        ASSERT_TRUE(sources);
        sources->chooseFullScreen();
        desktop::ContentPickerModel* content = nullptr;
        ASSERT_TRUE(
            pumpUntil([&] { return (content = contentPicker()) != nullptr; }, kStepLimitMs));
        const auto displays = windowServer->displays();
        ASSERT_FALSE(displays.empty());
        int row = -1;
        for (std::size_t i = 0; i < content->entries().size(); ++i) {
            if (content->entries()[i].name == QString::fromStdString(displays.front().name)) {
                row = static_cast<int>(i);
            }
        }
        ASSERT_GE(row, 0) << "the display is offered";
        content->select(row);
        content->share();
        ASSERT_TRUE(pumpUntil(
            [&] { return prepare->sourceTitle() == QStringLiteral("Full screen"); }, kStepLimitMs));
        ASSERT_TRUE(closes(kSourcePicker));
        ASSERT_TRUE(recorder->selectedContentInfo());
        EXPECT_EQ(recorder->selectedContentInfo()->kind,
                  recording::SelectedContentInfo::Kind::display);

        prepare->microphoneCardTapped();
        ASSERT_TRUE(opens(kMicrophonePicker));
        auto* microphones = modelOf<setup::MicrophonePickerScene>(window(kMicrophonePicker));
        ASSERT_TRUE(microphones);
        QString sine;
        for (const auto& device : microphones->viewModel().microphones()) {
            if (device.name == QStringLiteral("Sine Headset")) {
                sine = device.id;
            }
        }
        ASSERT_FALSE(sine.isEmpty()) << "the virtual desktop's 440 Hz source is listed";
        microphones->rowClicked(sine);
        ASSERT_TRUE(closes(kMicrophonePicker));
        ASSERT_TRUE(
            pumpUntil([&] { return prepare->microphoneTitle() == QStringLiteral("Sine Headset"); },
                      kStepLimitMs));
        EXPECT_EQ(stored("SelectedMicrophoneKey"), sine.toStdString());
        EXPECT_TRUE(
            pumpUntil([&] { return recorder->isMicrophoneSourceSelected(); }, kStepLimitMs));
        ASSERT_TRUE(prepare->hasValidSelection());

        prepare->startTapped();
        ASSERT_TRUE(opens(kCountdown));
        EXPECT_TRUE(closes(kMain)) << "the main window makes way for the countdown";
    }

    // The health request went out without a cookie, and its time is the one stored.
    void checkServerTime() {
        EXPECT_THAT(requestLines(),
                    testing::ElementsAre("POST /api/sagevane/auth", "GET /api/v1/health/"));
        const auto health = received("GET", "/api/v1/health/");
        ASSERT_EQ(health.size(), 1u);
        EXPECT_FALSE(health[0].header("Cookie")) << "the health request carries no session";
        EXPECT_EQ(health[0].status, 200);
        const auto reply = nlohmann::json::parse(health[0].responseBody, nullptr, false);
        ASSERT_TRUE(reply.is_object()) << health[0].responseBody;
        EXPECT_EQ(stored("current_date_time"), reply.value("currentDateTime", "<absent>"));
    }

    // Stop: the bar goes and the post-session window comes.
    session::CollectingInformationScene* stop() {
        bar->stopClicked();
        bar = nullptr;
        EXPECT_TRUE(closes(kBar));
        EXPECT_TRUE(opens(kCollecting));
        return modelOf<session::CollectingInformationScene>(window(kCollecting));
    }

    static inline int counter = 0;
    fs::path home;
    fs::path recordings;
    std::unique_ptr<devserver::DevServer> server;
    std::mutex mutex;
    std::vector<devserver::ObservedRequest> requests;
    x11test::TestDesktop desk;
    std::unique_ptr<platform::DefaultsStore> defaults;
    std::shared_ptr<platform::WindowServer> windowServer;
    std::shared_ptr<desktop::DesktopContentSharingPicker> picker;
    app::AppConfiguration configuration;
    std::unique_ptr<app::KorvaneComposition> composition;
    QQmlEngine engine;
    std::unique_ptr<app::KorvaneApp> korvane;
    std::shared_ptr<recording::ScreenRecorder> recorder;
    session::RecordingBarScene* bar = nullptr;
    std::vector<QUrl> openedURLs;
};

}  // namespace

TEST_F(WholeSessionTest, ASessionIsRecordedUploadedJoinedAndLinked) {
    signIn();
    ASSERT_FALSE(HasFatalFailure());
    prepareAndStart();
    ASSERT_FALSE(HasFatalFailure());
    checkServerTime();
    const std::string startTime = stored("current_date_time");

    // About eight seconds, the microphone muted for two of them in the middle.
    pumpFor(3000);
    // The moment the file's start shows: where the presses belong in it.
    const auto origin = recorder->video().timeline().clockOrigin;
    ASSERT_TRUE(origin);
    const double fileStart = origin->seconds();
    const double muted = steadySeconds() - fileStart;
    bar->microphoneClicked();
    EXPECT_TRUE(recorder->isMicrophoneMuted());
    EXPECT_EQ(bar->microphoneIconName(), QStringLiteral("microphone.slash.fill"));
    pumpFor(2000);
    const double unmuted = steadySeconds() - fileStart;
    bar->microphoneClicked();
    EXPECT_FALSE(recorder->isMicrophoneMuted());
    EXPECT_EQ(bar->microphoneIconName(), QStringLiteral("microphone.fill"));
    pumpFor(3000);
    EXPECT_GT(bar->elapsedSeconds(), 0) << "the bar's timer runs";
    ASSERT_TRUE(recorder->isRecording());

    auto* collecting = stop();
    ASSERT_TRUE(collecting);
    ASSERT_TRUE(pumpUntil([&] { return recorder->isSuccess() || recorder->isShowError(); },
                          kUploadLimitMs));
    ASSERT_TRUE(recorder->isSuccess()) << recorder->errorMessageText().toStdString();
    EXPECT_FALSE(collecting->isShowError());
    EXPECT_TRUE(stored("currentVideoPath").empty()) << "uploaded: the key goes";
    EXPECT_TRUE(fs::is_empty(recordings)) << "uploaded: the recording goes";

    const std::string id = stored("obtained_video_id");
    ASSERT_FALSE(id.empty());
    const auto uploads = received("POST", kUploadPath);
    ASSERT_FALSE(uploads.empty());
    const std::size_t total = uploads.size();
    EXPECT_EQ(requestLines().size(), 2 + total)
        << "nothing but the chunks after the health request";
    for (std::size_t i = 0; i < total; ++i) {
        SCOPED_TRACE("chunk " + std::to_string(i));
        const auto& chunk = uploads[i];
        EXPECT_EQ(chunk.status, 200) << chunk.responseBody;
        EXPECT_EQ(chunk.header("Cookie"), stored("cookie"));
        std::vector<std::string> expected = {"video", "real_start_date_time", "vantrel_env"};
        if (total == 1) {
            expected.push_back("filename");
        } else {
            expected.insert(expected.end(), {"chunk_number", "total_chunks", "filename"});
            if (i > 0) {
                expected.push_back("video_id");
            }
            EXPECT_EQ(partValue(chunk, "chunk_number"), std::to_string(i));
            EXPECT_EQ(partValue(chunk, "total_chunks"), std::to_string(total));
            if (i > 0) {
                EXPECT_EQ(partValue(chunk, "video_id"), id);
            }
        }
        EXPECT_EQ(partNames(chunk), expected);
        EXPECT_EQ(partValue(chunk, "real_start_date_time"), startTime) << "the stored start time";
        EXPECT_EQ(partValue(chunk, "vantrel_env"), "prod");
        EXPECT_EQ(partValue(chunk, "filename"), chunk.parts.front().filename);
        EXPECT_THAT(chunk.parts.front().filename, testing::MatchesRegex("Korvane_.*\\.mp4"));
    }

    const auto joined = server->videoPath(id);
    ASSERT_TRUE(joined);
    MediaFile file(joined->string());
    ASSERT_TRUE(file.isOpen());
    const AVStream* video = file.stream(AVMEDIA_TYPE_VIDEO);
    const AVStream* audio = file.stream(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(video);
    ASSERT_TRUE(audio);
    EXPECT_EQ(video->codecpar->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(video->codecpar->profile, FF_PROFILE_H264_HIGH);
    EXPECT_EQ(video->r_frame_rate.num, 30);
    EXPECT_EQ(video->r_frame_rate.den, 1);
    EXPECT_EQ(audio->codecpar->codec_id, AV_CODEC_ID_AAC);
    EXPECT_EQ(audio->codecpar->ch_layout.nb_channels, 1);
    EXPECT_EQ(audio->codecpar->sample_rate, 48000);
    const double videoDuration = seconds(video->duration, video->time_base);
    const double audioDuration = seconds(audio->duration, audio->time_base);
    EXPECT_GT(videoDuration, 1.0);
    EXPECT_LE(std::abs(audioDuration - videoDuration), 0.1)
        << "audio " << audioDuration << " s, video " << videoDuration << " s";
    // The 440 Hz headset is heard, muted a while, and heard again: the silence lies where the
    // presses were, no more than 45 ms early and 125 ms late.
    const auto quiet = quietStretches(decodeAudio(file));
    ASSERT_EQ(quiet.size(), 1u) << "one muted stretch between tone";
    EXPECT_GE(quiet[0].first - muted, -0.045) << "muted at " << muted << " s";
    EXPECT_LE(quiet[0].first - muted, 0.125) << "muted at " << muted << " s";
    EXPECT_GE(quiet[0].second - unmuted, -0.045) << "unmuted at " << unmuted << " s";
    EXPECT_LE(quiet[0].second - unmuted, 0.125) << "unmuted at " << unmuted << " s";
    std::int64_t frames = 0;
    file.decode(AVMEDIA_TYPE_VIDEO, [&](const AVFrame&, double) { ++frames; });
    // Every 1/30 s slot of the span holds a frame, or the recorder counted it as left empty (a
    // machine too busy to encode in time); none is lost without a count, none is added.
    const auto slotCount = static_cast<std::int64_t>(std::llround(videoDuration * 30));
    const auto empty = static_cast<std::int64_t>(recorder->video().stats().droppedFrameSlots);
    EXPECT_LE(frames, slotCount + 1);
    EXPECT_GE(frames + empty, slotCount - 1)
        << frames << " frames and " << empty << " empty slots in " << videoDuration << " s";

    // View now, on the card of a completed upload.
    ASSERT_TRUE(pumpUntil(
        [&] {
            return collecting->displayState() == session::CollectingInformationScene::Completed;
        },
        kStepLimitMs));
    collecting->openUploadedVideo();
    ASSERT_EQ(openedURLs.size(), 1u);
    const QString link =
        QString::fromStdString(server->baseUrl()) + QStringLiteral("/api/trade-log/video/") +
        QString::fromStdString(id) + QStringLiteral("?cookie=") +
        QString::fromLatin1(QUrl::toPercentEncoding(QString::fromStdString(stored("cookie"))));
    EXPECT_EQ(openedURLs.front().toString(QUrl::FullyEncoded), link);
    api::HttpRequest page;
    page.url = openedURLs.front().toString(QUrl::FullyEncoded).toStdString();
    page.timeout = std::chrono::milliseconds(kStepLimitMs);
    const auto shown = api::HttpClient::shared()->sendAndWait(std::move(page));
    EXPECT_EQ(shown.status, 200) << "the stand-in shows the video the link names";
}

TEST_F(WholeSessionTest, ARefusedUploadEndsInTheErrorAlertAndKeepsTheRecording) {
    server->setRefusingUploads(true);
    signIn();
    ASSERT_FALSE(HasFatalFailure());
    prepareAndStart();
    ASSERT_FALSE(HasFatalFailure());
    checkServerTime();
    pumpFor(2000);
    ASSERT_TRUE(recorder->isRecording());

    auto* collecting = stop();
    ASSERT_TRUE(collecting);
    ASSERT_TRUE(pumpUntil([&] { return recorder->isSuccess() || recorder->isShowError(); },
                          kUploadLimitMs));
    ASSERT_TRUE(recorder->isShowError());
    EXPECT_FALSE(recorder->isSuccess());
    EXPECT_TRUE(collecting->isShowError());
    QObject* alert = window(kCollecting)->findChild<QObject*>(QStringLiteral("errorAlert"));
    ASSERT_TRUE(alert);
    EXPECT_TRUE(pumpUntil([&] { return alert->property("opened").toBool(); }, kStepLimitMs));
    auto* content = alert->property("contentItem").value<QQuickItem*>();
    ASSERT_TRUE(content && !content->childItems().isEmpty());
    EXPECT_EQ(content->childItems().front()->property("text").toString(), QStringLiteral("Error"));

    const auto uploads = received("POST", kUploadPath);
    ASSERT_FALSE(uploads.empty()) << "the upload was tried";
    EXPECT_EQ(uploads.front().status, 503);
    EXPECT_EQ(server->chunksReceived(), 0u);
    const std::string kept = stored("currentVideoPath");
    ASSERT_FALSE(kept.empty()) << "a refused upload keeps the key";
    EXPECT_TRUE(fs::exists(kept)) << "and the file";
    EXPECT_EQ(fs::path(kept).parent_path(), recordings);
    EXPECT_TRUE(stored("obtained_video_id").empty());
    EXPECT_TRUE(openedURLs.empty());
}

TEST_F(WholeSessionTest, ARecordingThatCannotBeginEndsInTheErrorAlertAsTheCountdownEnds) {
    fs::create_directories(home);
    { std::ofstream(recordings) << "a file where the recordings folder belongs"; }
    signIn();
    ASSERT_FALSE(HasFatalFailure());
    prepareAndCountDown();
    ASSERT_FALSE(HasFatalFailure());
    QSignalSpy recording(recorder.get(), &recording::ScreenRecorder::isRecordingChanged);
    ASSERT_TRUE(closes(kCountdown));
    const auto countdownEnded = std::chrono::steady_clock::now();
    ASSERT_TRUE(opens(kCollecting)) << "no Stop is pressed";
    QObject* alert = window(kCollecting)->findChild<QObject*>(QStringLiteral("errorAlert"));
    ASSERT_TRUE(alert);
    ASSERT_TRUE(pumpUntil([&] { return alert->property("opened").toBool(); }, kStepLimitMs));
    EXPECT_LE(std::chrono::steady_clock::now() - countdownEnded, std::chrono::seconds(1));
    EXPECT_EQ(window(kBar), nullptr);
    EXPECT_EQ(recording.count(), 0) << "nothing was recorded";
    EXPECT_THAT(recorder->errorMessageText().toStdString(),
                testing::HasSubstr(recordings.string()));
    EXPECT_TRUE(stored("currentVideoPath").empty());
    EXPECT_FALSE(recorder->isUploading());
    EXPECT_THAT(requestLines(),
                testing::ElementsAre("POST /api/sagevane/auth", "GET /api/v1/health/"))
        << "nothing is uploaded";
}
