#pragma once

// Stand-ins for the platform behind the recorder: a writer that records what it is given, a
// microphone a test feeds by hand, and the microphone's devices and permission.
#include "ScreenRecorder.h"

#include "Pump.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <mutex>
#include <set>
#include <vector>

namespace fakes {

struct WrittenFrame {
    platform::MediaTime pts;
    int sourceWidth = 0;
    int sourceHeight = 0;
};

struct WrittenAudio {
    platform::MediaTime pts;
    std::vector<float> samples;
    int frames = 0;  // how many were appended (samples may keep only the first)
};

class FakeEncoderFrame final : public platform::EncoderFrame {
  public:
    FakeEncoderFrame(int w, int h) : m_w(w), m_h(h) {}
    int width() const override { return m_w; }
    int height() const override { return m_h; }
    int sourceWidth = 0;
    int sourceHeight = 0;

  private:
    int m_w;
    int m_h;
};

// Shared between the test and the writers the recorder makes.
struct WriterLog {
    std::mutex mutex;
    std::vector<std::string> createdPaths;
    std::vector<platform::VideoOutputSettings> videoSettings;
    int audioInputs = 0;
    std::optional<platform::MediaTime> sessionStart;
    std::vector<WrittenFrame> frames;
    std::vector<WrittenAudio> audio;
    bool finished = false;
    bool cancelled = false;
    std::atomic<bool> videoReady{true};
    std::atomic<bool> failStart{false};
    // Off for hours of sound: each append keeps its first sample only.
    std::atomic<bool> keepsAllSamples{true};

    std::vector<WrittenFrame> framesCopy() {
        std::lock_guard lock(mutex);
        return frames;
    }
    std::vector<WrittenAudio> audioCopy() {
        std::lock_guard lock(mutex);
        return audio;
    }
};

class FakeAssetWriter final : public platform::AssetWriter {
  public:
    FakeAssetWriter(std::string path, std::shared_ptr<WriterLog> log)
        : m_path(std::move(path)), m_log(std::move(log)) {}
    const std::string& path() const override { return m_path; }
    bool canAddVideoInput() const override { return !m_video; }
    bool addVideoInput(const platform::VideoOutputSettings& s) override;
    bool canAddAudioInput() const override { return !m_audio; }
    bool addAudioInput(const platform::AudioOutputSettings&) override;
    bool hasVideoInput() const override { return m_video.has_value(); }
    bool hasAudioInput() const override { return m_audio; }
    bool startWriting() override;
    void startSession(platform::MediaTime t) override;
    platform::AssetWriterStatus status() const override { return m_status; }
    std::optional<std::string> error() const override;
    bool isVideoReadyForMoreMediaData() const override { return m_log->videoReady; }
    bool isAudioReadyForMoreMediaData() const override { return true; }
    std::shared_ptr<platform::EncoderFrame> makePooledFrame() override;
    std::unique_ptr<platform::FrameCompositor> makeCompositor() override;
    bool appendVideo(std::shared_ptr<platform::EncoderFrame> frame,
                     platform::MediaTime pts) override;
    bool appendAudio(const float* samples, int frameCount, platform::MediaTime pts) override;
    void markVideoAsFinished() override {}
    void markAudioAsFinished() override {}
    void finishWriting(std::function<void()> completion) override;
    void cancelWriting() override;

  private:
    std::string m_path;
    std::shared_ptr<WriterLog> m_log;
    std::optional<platform::VideoOutputSettings> m_video;
    bool m_audio = false;
    std::atomic<platform::AssetWriterStatus> m_status{platform::AssetWriterStatus::unknown};
};

class FakeAudioEngine final : public platform::AudioEngine {
  public:
    struct Shared {
        std::mutex mutex;
        platform::AudioFormat format{platform::SampleType::float32, 48000.0, 1, true};
        TapBlock tap;
        bool running = false;
        int starts = 0;
        std::optional<std::string> startError;
        std::string lastDeviceId;
        std::vector<std::string> startedDeviceIds;  // every start that succeeded, in order
        std::set<std::string> missing;              // device ids whose start fails
        LossHandler lost;
    };
    explicit FakeAudioEngine(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)) {}
    platform::AudioFormat inputFormat() const override { return m_shared->format; }
    void installTap(int, TapBlock block) override;
    void removeTap() override;
    std::expected<void, std::string> start() override;
    void stop() override;
    bool isRunning() const override;
    void setLossHandler(LossHandler handler) override;
    // The device goes away under a running capture: told from a thread of its own, as Pulse's.
    static void loseDevice(Shared& shared);

  private:
    std::shared_ptr<Shared> m_shared;
};

// Hands float input straight through (the tests feed 48 kHz mono float).
class PassThroughConverter final : public platform::AudioConverter {
  public:
    std::expected<void, std::string> convert(platform::PcmBuffer& output,
                                             const InputBlock& input) override;
    int zeroOutputFor = -1;  // the n-th source buffer (0-based) yields no frames
    int seen = 0;

  private:
    std::vector<float> m_rest;  // the last source buffer, handed out from m_restAt on
    std::size_t m_restAt = 0;
};

class FakeDeviceDiscovery final : public platform::CaptureDeviceDiscovery {
  public:
    std::vector<platform::CaptureDevice> devices() const override {
        std::lock_guard lock(mutex);
        return list;
    }
    std::optional<platform::CaptureDevice> defaultDevice() const override;
    mutable std::mutex mutex;
    std::vector<platform::CaptureDevice> list{{"mic-1", "Desk Microphone", true}};
};

class FakeAuthorization final : public platform::MicrophoneAuthorization {
  public:
    platform::AuthorizationStatus status() const override { return current; }
    void requestAccess(std::function<void(bool)> completion) override {
        pending = std::move(completion);
    }
    std::atomic<platform::AuthorizationStatus> current{platform::AuthorizationStatus::authorized};
    std::function<void(bool)> pending;
};

class FakeSettingsUi final : public platform::MicrophoneSettingsUi {
  public:
    bool runAccessAlert(const std::string& message, const std::string& informative,
                        const std::string& first, const std::string& second) override {
        alerts.push_back(message + "|" + informative + "|" + first + "|" + second);
        return answerFirst;
    }
    void openMicrophoneSettings() override { ++opened; }
    std::vector<std::string> alerts;
    bool answerFirst = false;
    int opened = 0;
};

class FakeCaptureStream final : public platform::CaptureStream {
  public:
    struct Shared {
        std::mutex mutex;
        std::vector<platform::StreamConfiguration> configurations;
        std::vector<platform::ContentFilter> filters;
        SampleHandler handler;
        platform::SerialQueue* queue = nullptr;
        int starts = 0;
        int stops = 0;
        std::optional<platform::CaptureError> startError;
        std::optional<platform::CaptureError> stopError;
        StopHandler didStopWithError;
    };
    explicit FakeCaptureStream(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)) {}
    void setDidStopWithError(StopHandler handler) override {
        std::lock_guard lock(m_shared->mutex);
        m_shared->didStopWithError = std::move(handler);
    }
    std::optional<platform::CaptureError> addStreamOutput(platform::StreamOutputType,
                                                          SampleHandler handler,
                                                          platform::SerialQueue& queue) override;
    void startCapture(Completion completion) override;
    void stopCapture(Completion completion) override;
    // Hands a frame to the output on its queue, as the real stream does.
    static void deliver(Shared& shared, std::shared_ptr<platform::PixelBuffer> picture,
                        platform::MediaTime pts);

  private:
    std::shared_ptr<Shared> m_shared;
};

class FakeWindowServer final : public platform::WindowServer {
  public:
    std::vector<platform::ShareableDisplay> displays() const override;
    std::vector<platform::ShareableWindow> windows() const override;
    std::optional<platform::Rect> windowBounds(std::uint32_t id) const override;
    std::optional<platform::Rect> displayBounds(std::uint32_t id) const override;
    std::vector<platform::Rect> screenFrames() const override;
    mutable std::mutex mutex;
    std::vector<platform::ShareableDisplay> displayList{{7, "screen", {0, 0, 1920, 1080}}};
    std::vector<platform::ShareableWindow> windowList{
        {42, "Chart", "trader-app", {100, 80, 1001, 601}}};
};

class FakePicker final : public platform::ContentSharingPicker {
  public:
    void setConfiguration(const Configuration& c) override { configuration = c; }
    void addObserver(std::weak_ptr<platform::ContentSharingPickerObserver> observer) override {
        observers.push_back(std::move(observer));
    }
    void setActive(bool value) override { active = value; }
    void present() override { ++presented; }
    Configuration configuration;
    std::vector<std::weak_ptr<platform::ContentSharingPickerObserver>> observers;
    bool active = false;
    int presented = 0;
};

class FakeBorder final : public platform::BorderOverlayWindow {
  public:
    explicit FakeBorder(platform::Rect r) : rect(r) {}
    platform::Rect frame() const override { return rect; }
    void setFrame(const platform::Rect& r) override { rect = r; }
    void orderFront() override { visible = true; }
    void orderOut() override { visible = false; }
    platform::Rect rect;
    bool visible = false;
};

// Answers every upload with what the test set, and counts the uploads.
class FakeVideoRepository final : public api::VideoRepositoryProtocol {
  public:
    platform::Single<api::UploadVideoResponse, api::NetworkError> uploadVideo(
        const std::string& path) override {
        return uploadVideoInChunks(path);
    }
    platform::Single<api::UploadVideoResponse, api::NetworkError> uploadVideoInChunks(
        const std::string& path) override;
    std::mutex mutex;
    std::vector<std::string> uploadedPaths;
    std::optional<api::NetworkError> failure;
};

// A recorder wired to the fakes, with a clock the test moves.
struct Rig {
    Rig();
    // Waits until the recorder is gone: work still queued for it may hold it a moment longer,
    // and it must not outlive the test (or the process's statics) on one of its queues.
    ~Rig();
    std::shared_ptr<WriterLog> writer = std::make_shared<WriterLog>();
    std::shared_ptr<FakeAudioEngine::Shared> engine = std::make_shared<FakeAudioEngine::Shared>();
    std::shared_ptr<FakeDeviceDiscovery> devices = std::make_shared<FakeDeviceDiscovery>();
    std::shared_ptr<FakeAuthorization> authorization = std::make_shared<FakeAuthorization>();
    std::shared_ptr<FakeSettingsUi> ui = std::make_shared<FakeSettingsUi>();
    std::shared_ptr<std::atomic<double>> now = std::make_shared<std::atomic<double>>(1'000'000.0);
    std::shared_ptr<PassThroughConverter> converter = std::make_shared<PassThroughConverter>();
    std::shared_ptr<FakeCaptureStream::Shared> stream =
        std::make_shared<FakeCaptureStream::Shared>();
    std::shared_ptr<FakeWindowServer> windowServer = std::make_shared<FakeWindowServer>();
    std::shared_ptr<FakePicker> picker = std::make_shared<FakePicker>();
    std::shared_ptr<FakeVideoRepository> videos = std::make_shared<FakeVideoRepository>();
    FakeBorder* border = nullptr;  // the overlay the recorder made last (owned by the recorder)
    int streamsMade = 0;
    std::unique_ptr<platform::DefaultsStore> defaults;
    std::shared_ptr<recording::ScreenRecorder> recorder;

    recording::RecorderEnvironment environment();
    void build();
    // Starts a "recording" whose frames come from the test.
    void beginRecording(const std::string& path = "/tmp/fake.mp4");
    void sendFrame(int width, int height, platform::MediaTime pts);
    // captureTime: when the device says it heard the first sample (invalid: it cannot tell).
    void sendAudio(const std::vector<float>& samples, platform::MediaTime captureTime = {});
};

// Copies every file the recorder finishes to <file>.kept and names the copy in `kept`: the
// upload that follows a finished recording removes the file itself.
void keepFinishedFiles(recording::ScreenRecorder& recorder, platform::DefaultsStore& defaults,
                       std::string& kept);

using ::pumpFor;
using ::pumpUntil;

}  // namespace fakes
