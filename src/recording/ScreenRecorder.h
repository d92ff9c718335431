#pragma once

#include "SelectedContentInfo.h"
#include "SilentDetector.h"

#include "VideoRepository.h"

#include "platform/AssetWriter.h"
#include "platform/AudioEngine.h"
#include "platform/CaptureDeviceDiscovery.h"
#include "platform/CaptureStream.h"
#include "platform/DefaultsStore.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/SerialQueue.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace recording {

enum class VideoScale { normal = 1, high = 2 };
std::optional<VideoScale> videoScaleFromRaw(int raw);

// Everything the recorder needs from the platform; tests pass fakes.
struct RecorderEnvironment {
    platform::AssetWriterFactory writerFactory;
    platform::AudioEngineFactory audioEngineFactory;
    std::function<std::unique_ptr<platform::AudioConverter>(const platform::AudioFormat&,
                                                            const platform::AudioFormat&)>
        converterFactory;
    std::shared_ptr<platform::CaptureDeviceDiscovery> deviceDiscovery;
    std::shared_ptr<platform::MicrophoneAuthorization> authorization;
    std::shared_ptr<platform::MicrophoneSettingsUi> settingsUi;  // may be null: no alert then
    SilentDetector::Clock clock;                                 // absolute seconds
    platform::DefaultsStore* defaults = nullptr;
    // Off only for the benchmark, which drives the encode ticks itself as fast as it can.
    bool runsEncodeTimer = true;
    platform::CaptureStreamFactory captureStreamFactory;
    std::shared_ptr<platform::WindowServer> windowServer;
    std::shared_ptr<platform::ContentSharingPicker> contentPicker;
    platform::BorderOverlayFactory borderOverlayFactory;
    // Where recordings go; empty means the "Korvane" folder in the user's data directory.
    std::string recordingsFolder;

    // The desktop's own: FFmpeg writer, PulseAudio microphone, wall clock, the shared store.
    static RecorderEnvironment desktop();
};

// The one recorder: the MP4 writer at a constant frame rate, the microphone track, the silence
// watch and the microphone state. Observable properties change on the main thread only.
class ScreenRecorder : public QObject,
                       public platform::ContentSharingPickerObserver,
                       public std::enable_shared_from_this<ScreenRecorder> {
    Q_OBJECT
    Q_PROPERTY(bool showsCursor READ showsCursor WRITE setShowsCursor NOTIFY showsCursorChanged)
    Q_PROPERTY(
        bool capturesAudio READ capturesAudio WRITE setCapturesAudio NOTIFY capturesAudioChanged)
    Q_PROPERTY(bool isMicrophoneMuted READ isMicrophoneMuted NOTIFY isMicrophoneMutedChanged)
    Q_PROPERTY(bool isMicrophoneAuthorized READ isMicrophoneAuthorized NOTIFY
                   isMicrophoneAuthorizedChanged)
    Q_PROPERTY(
        bool isMicrophoneAvailable READ isMicrophoneAvailable NOTIFY isMicrophoneAvailableChanged)
    Q_PROPERTY(bool isRecording READ isRecording NOTIFY isRecordingChanged)
    Q_PROPERTY(bool isPaused READ isPaused WRITE setIsPaused NOTIFY isPausedChanged)
    Q_PROPERTY(QString selectedMicrophoneName READ selectedMicrophoneNameText WRITE
                   setSelectedMicrophoneNameText NOTIFY selectedMicrophoneNameChanged)
    Q_PROPERTY(bool isMicrophoneSourceSelected READ isMicrophoneSourceSelected NOTIFY
                   isMicrophoneSourceSelectedChanged)
    Q_PROPERTY(bool suppressRecordingBar READ suppressRecordingBar WRITE setSuppressRecordingBar
                   NOTIFY suppressRecordingBarChanged)
    Q_PROPERTY(bool isRecordingBarPresented READ isRecordingBarPresented WRITE
                   setIsRecordingBarPresented NOTIFY isRecordingBarPresentedChanged)
    Q_PROPERTY(bool isUploading READ isUploading NOTIFY isUploadingChanged)
    Q_PROPERTY(bool isShowError READ isShowError NOTIFY isShowErrorChanged)
    Q_PROPERTY(bool isSuccess READ isSuccess NOTIFY isSuccessChanged)
    Q_PROPERTY(QString errorMessage READ errorMessageText NOTIFY errorMessageChanged)
    Q_PROPERTY(QString successMessage READ successMessageText NOTIFY successMessageChanged)
    Q_PROPERTY(bool hasSelectedContent READ hasSelectedContent NOTIFY selectedContentInfoChanged)
    // Kind "unknown" and no fields while nothing is chosen; see hasSelectedContent.
    Q_PROPERTY(recording::SelectedContentInfo selectedContentInfo READ selectedContentInfoValue
                   NOTIFY selectedContentInfoChanged)
    Q_PROPERTY(bool showReminder READ showReminder NOTIFY showReminderChanged)
    Q_PROPERTY(int inactivityReminderToken READ inactivityReminderToken NOTIFY
                   inactivityReminderTokenChanged)

  public:
    enum class AudioSource { microphone, none };

    // Receives the capture stream's samples; only screen samples reach the handler.
    class StreamOutput {
      public:
        std::function<void(const platform::VideoSample&)> videoSampleHandler;
        std::function<void()> finishRecording;
        void didOutputSampleBuffer(const platform::VideoSample& sample,
                                   platform::StreamOutputType type) const;
    };

    static constexpr int targetSampleRate = 48'000;
    static constexpr int tapBufferFrames = 1024;
    static constexpr int convertedBufferFrames = 4096;
    // How long before its arrival a microphone buffer may have been heard.
    static constexpr int maxCaptureDelaySeconds = 5;
    static constexpr float gain = 0.9f;
    static constexpr float clipLimit = 0.98f;
    static constexpr int analysisEvery = 6;
    static constexpr std::size_t compactionThreshold = 257;

    // Builds the recorder on the main thread (observers, first availability refresh, first
    // selection sync).
    static std::shared_ptr<ScreenRecorder> create(
        std::shared_ptr<api::VideoRepositoryProtocol> videoRepository,
        RecorderEnvironment environment);
    ~ScreenRecorder() override;
    // Recorders not yet destroyed (a test waits for its own to be gone before it ends).
    static int aliveCount();

    // --- observable state (main thread) ---
    bool showsCursor() const { return m_showsCursor; }
    void setShowsCursor(bool value);
    bool capturesAudio() const { return m_capturesAudio; }
    void setCapturesAudio(bool value);
    AudioSource audioSource() const { return m_audioSource; }
    void setAudioSource(AudioSource value);
    bool isMicrophoneMuted() const { return m_isMicrophoneMuted; }
    bool isMicrophoneAuthorized() const { return m_isMicrophoneAuthorized; }
    bool isMicrophoneAvailable() const { return m_isMicrophoneAvailable; }
    VideoScale videoScale() const { return m_videoScale; }
    void setVideoScale(VideoScale value) { m_videoScale = value; }
    const QString& backgroundColor() const { return m_backgroundColor; }
    bool isRecording() const { return m_isRecording; }
    bool isPaused() const { return m_isPaused; }
    void setIsPaused(bool value);
    const std::optional<QString>& selectedMicrophoneName() const {
        return m_selectedMicrophoneName;
    }
    void setSelectedMicrophoneName(std::optional<QString> name);
    QString selectedMicrophoneNameText() const {
        return m_selectedMicrophoneName.value_or(QString());
    }
    void setSelectedMicrophoneNameText(const QString& name) { setSelectedMicrophoneName(name); }
    bool isMicrophoneSourceSelected() const { return m_isMicrophoneSourceSelected; }
    bool suppressRecordingBar() const { return m_suppressRecordingBar; }
    void setSuppressRecordingBar(bool value);
    bool isRecordingBarPresented() const { return m_isRecordingBarPresented; }
    void setIsRecordingBarPresented(bool value);
    const std::optional<SelectedContentInfo>& selectedContentInfo() const {
        return m_selectedContentInfo;
    }
    bool hasSelectedContent() const { return m_selectedContentInfo.has_value(); }
    SelectedContentInfo selectedContentInfoValue() const {
        return m_selectedContentInfo.value_or(SelectedContentInfo{});
    }
    // The microphones and their permission, as the recorder sees them; for the microphone picker.
    std::shared_ptr<platform::CaptureDeviceDiscovery> deviceDiscovery() const {
        return m_environment.deviceDiscovery;
    }
    std::shared_ptr<platform::MicrophoneAuthorization> microphoneAuthorization() const {
        return m_environment.authorization;
    }
    bool isUploading() const { return m_isUploading; }
    const std::optional<api::UploadVideoResponse>& uploadResponse() const {
        return m_uploadResponse;
    }
    const std::optional<api::NetworkError>& uploadError() const { return m_uploadError; }
    bool isShowError() const { return m_isShowError; }
    bool isSuccess() const { return m_isSuccess; }
    std::optional<double> uploadProgress() const { return m_uploadProgress; }
    const std::optional<QString>& errorMessage() const { return m_errorMessage; }
    QString errorMessageText() const { return m_errorMessage.value_or(QString()); }
    const std::optional<QString>& successMessage() const { return m_successMessage; }
    QString successMessageText() const { return m_successMessage.value_or(QString()); }
    bool showReminder() const { return m_showReminder; }
    int inactivityReminderToken() const { return m_inactivityReminderToken; }
    bool autoMutedDueToNoSelection() const { return m_autoMutedDueToNoSelection; }

    // --- microphone state (main thread) ---
    void refreshMicrophoneAvailability();
    Q_INVOKABLE void requestMicrophoneAccess();
    void handleMicrophoneAccessResult(bool granted);  // any thread
    void showMicrophoneAccessAlert();
    void openMicrophonePrivacySettings();
    Q_INVOKABLE void setMicrophoneMuted(bool muted);
    void syncMicrophoneSelection();
    Q_INVOKABLE void clearSelection();

    // --- microphone pipeline ---
    std::expected<void, std::string> startMicrophone();
    void stopMicrophone(bool resetPipeline);
    void handleMicrophoneTap(const platform::PcmBuffer& buffer);  // the engine's thread

    // --- silence watch ---
    void analyseSilence(const platform::PcmBuffer& buffer);  // analysis queue
    void updateInactivityReminder(bool isSilent);            // main thread
    void dismissReminder();                                  // main thread
    SilentDetector& silentDetector() { return m_silentDetector; }

    // --- video path ---
    void setPendingOutputURL(std::optional<std::string> path);    // the capture start
    void handleVideoSample(const platform::VideoSample& sample);  // the writer queue
    void stopVideoEncoder();
    // One run of the encode timer, on the video queue (the benchmark drives it directly).
    void encodeTick(std::uint64_t ticks);

    // --- capture start (main thread) ---
    // The size a content rectangle is captured at: scaled, rounded, even, at least 2.
    static int evenCaptureSize(double points, double scale);
    std::expected<std::string, std::string> makeOutputURL() const;
    Q_INVOKABLE void startRecording();
    using CaptureCompletion = std::function<void(std::optional<platform::CaptureError>)>;
    void startCapture(const std::string& url, CaptureCompletion completion);
    void markRecordingStarted();  // tests that drive frames by hand
    // Main thread: a start that failed is logged and raised like an upload failure.
    void failStart(const std::string& text);

    // --- ending a recording (main thread) ---
    Q_INVOKABLE void stopRecording();
    // The capture of `stream` ended by itself (its window was closed): the recording ends as a
    // stop ends it.
    void captureDidStopWithError(const platform::CaptureStream* stream, const std::string& text);
    void finishRecording();
    void uploadRecordedVideo();
    Q_INVOKABLE void deleteRecording();
    Q_INVOKABLE void repeatRecording();

    // --- content choice (main thread) ---
    Q_INVOKABLE void presentContentPicker(bool displayOnly);
    void contentSharingPickerDidCancel() override;
    void contentSharingPickerDidUpdate(const platform::ContentFilter& filter) override;
    void contentSharingPickerStartDidFail(const platform::CaptureError& error) override;
    void applyPickerFilter(const platform::ContentFilter& filter);
    Q_INVOKABLE void startNewRecording();
    void deleteStoredFiles();
    const std::optional<platform::ContentFilter>& contentFilter() const { return m_contentFilter; }
    bool hasStream() const { return m_stream != nullptr; }

    // --- capture border (main thread) ---
    void showBorderOverlay();
    void hideBorderOverlay();
    void updateBorderFrame();
    std::optional<platform::Rect> borderFrame() const;
    std::optional<platform::Rect> windowBoundsInScreenCoordinates(std::uint32_t windowID) const;
    platform::BorderOverlayWindow* borderOverlayWindow() const {
        return m_borderOverlayWindow.get();
    }

    // --- inspection (any thread) ---
    struct EngineSnapshot {
        bool hasWriter = false;
        bool hasAudioInput = false;
        bool writerStarted = false;
        bool isVideoEncoderRunning = false;
        bool hasAudioEngine = false;
        std::optional<platform::MediaTime> firstVideoPTS;
        std::int64_t videoFrameIndex = 0;
        std::int64_t audioFramePosition = 0;
        std::optional<std::pair<int, int>> expectedVideoSize;
        std::size_t pendingAudioPCMCount = 0;
        std::size_t pendingAudioPCMReadIndex = 0;
        std::uint64_t silentDetectorCounter = 0;
        // Frame slots of the current (or last) recording that got no frame: late ticks, a busy
        // encoder input, no pooled frame.
        std::uint64_t droppedFrameSlots = 0;
    };
    EngineSnapshot snapshot() const;

    platform::SerialQueue& writerQueue() { return *m_writerQueue; }
    platform::SerialQueue& videoQueue() { return *m_videoQueue; }
    platform::SerialQueue& audioQueue() { return *m_audioQueue; }
    platform::SerialQueue& analysisQueue() { return *m_analysisQueue; }
    api::VideoRepositoryProtocol& videoRepository() { return *m_videoRepository; }

    const std::int32_t maxFPS = 60;
    const std::int32_t targetFPS = 30;

  signals:
    void showsCursorChanged();
    void capturesAudioChanged();
    void isMicrophoneMutedChanged();
    void isMicrophoneAuthorizedChanged();
    void isMicrophoneAvailableChanged();
    void isRecordingChanged();
    void isPausedChanged();
    void selectedMicrophoneNameChanged();
    void isMicrophoneSourceSelectedChanged();
    void suppressRecordingBarChanged();
    void isRecordingBarPresentedChanged();
    void selectedContentInfoChanged();
    void isUploadingChanged();
    void isShowErrorChanged();
    void isSuccessChanged();
    void errorMessageChanged();
    void successMessageChanged();
    void showReminderChanged();
    void uploadResponseChanged();
    void inactivityReminderTokenChanged();
    // The writer queue finished (or cancelled) the file of the recording that just ended.
    void recordingFinalized();

  private:
    // First member, so it goes last: counted alive until the queues are joined.
    struct AliveCount {
        AliveCount();
        ~AliveCount();
    } m_alive;
    ScreenRecorder(std::shared_ptr<api::VideoRepositoryProtocol> videoRepository,
                   RecorderEnvironment environment);
    void installDeviceObservers();
    // Runs the work on the main thread if the recorder still exists by then.
    template <class F>
    void onMain(F work) {
        platform::MainQueue::post([weak = weak_from_this(), work = std::move(work)]() mutable {
            if (auto self = weak.lock()) {
                work(*self);
            }
        });
    }

    void setIsMicrophoneMuted(bool value);
    void setIsMicrophoneAuthorized(bool value);
    void setIsMicrophoneAvailable(bool value);
    void setIsMicrophoneSourceSelected(bool value);
    void setShowReminder(bool value);
    void setInactivityReminderToken(int value);
    void setIsRecording(bool value);
    void setIsUploading(bool value);
    void setIsShowError(bool value);
    void setIsSuccess(bool value);
    void setErrorMessage(std::optional<QString> value);
    void setSuccessMessage(std::optional<QString> value);
    void setSelectedContentInfo(std::optional<SelectedContentInfo> value);
    bool startConditionHolds() const;
    void clearWriterFields();
    void startNextRecordingAfterStop();

    // video queue
    void ingestVideoFrame(std::shared_ptr<const platform::PixelBuffer> image,
                          platform::MediaTime pts);
    std::expected<void, std::string> setupWriter(const std::string& url, int width, int height);
    void startWriterIfNeeded(platform::MediaTime at);
    void startVideoEncoderIfNeeded();
    void encodeLatestFrame(platform::MediaTime firstPTS, std::uint64_t ticks);

    // audio queue
    // A microphone buffer waiting to be written, and whether the trader had muted when it came.
    struct PendingAudio {
        platform::PcmBuffer pcm;
        bool muted = false;
    };
    void enqueuePendingAudio(PendingAudio buffer);
    void scheduleAudioDrain();
    void drainPendingAudio();
    // Writes what the microphone delivered up to the end of the picture and fills the rest
    // with silence, so both tracks end together.
    void finishAudioTrack();

    // One step of work on one of the recorder's queues.
    struct QueueStep {
        platform::SerialQueue* queue;
        std::function<void(ScreenRecorder&)> work;  // may be empty: the step only waits
    };
    // Runs the steps one after the other, each on its queue once everything queued there before
    // it has run; stops when the recorder is gone.
    void runInOrder(std::vector<QueueStep> steps);
    static void runStep(std::weak_ptr<ScreenRecorder> weak,
                        std::shared_ptr<std::vector<QueueStep>> steps, std::size_t index);
    // What every way of ending a recording does first: the microphone and the encode timer stop,
    // and a microphone start still queued for this recording is dropped.
    void haltInputs();

    // writer queue
    void finalizeWriter();
    void noteWriterFailure(const platform::AssetWriter& writer);
    void resetWriterState();
    void completeStop();

    // Engine state shared by the queues, behind m_mutex (held only for reads and writes).
    mutable std::mutex m_mutex;
    std::shared_ptr<platform::AssetWriter> m_assetWriter;
    bool m_hasVideoInput = false;
    bool m_hasAudioInput = false;
    std::shared_ptr<platform::FrameCompositor> m_compositor;  // used on the video queue only
    bool m_writerStarted = false;
    bool m_isFinalizingRecording = false;
    bool m_didRequestAudioMediaData = false;
    std::optional<platform::MediaTime> m_firstVideoPTS;
    std::int64_t m_videoFrameIndex = 0;
    std::int64_t m_audioFramePosition = 0;
    std::optional<std::pair<int, int>> m_expectedVideoSize;
    std::optional<std::string> m_pendingOutputURL;
    // Why the file of the recording that is ending is no movie (the writer failed): then it is
    // not uploaded and the trader is told.
    std::optional<std::string> m_writerFailure;
    std::shared_ptr<const platform::PixelBuffer> m_latestCapturedPixelBuffer;
    std::unique_ptr<platform::QueueTimer> m_videoEncodeTimer;
    bool m_isVideoEncoderRunning = false;
    std::shared_ptr<platform::AudioConverter> m_audioConverter;
    std::deque<PendingAudio> m_pendingAudioPCM;
    std::size_t m_pendingAudioPCMReadIndex = 0;
    bool m_isDrainingAudioPCM = false;
    // Set when the microphone starts; the first buffer it delivers fixes where its audio goes.
    bool m_alignAudioToVideo = false;
    bool m_audioAlignStamped = false;
    std::int64_t m_audioAlignPosition = 0;        // used when the microphone cannot tell the time
    platform::MediaTime m_audioAlignCaptureTime;  // when its first buffer was heard
    // Where the audio track ends (the end of the last picture slot), once the recording stops.
    std::optional<std::int64_t> m_audioEndPosition;
    std::uint64_t m_silentDetectorCounter = 0;
    std::uint64_t m_droppedFrameSlots = 0;

    // Main thread.
    std::unique_ptr<platform::AudioEngine> m_audioEngine;
    std::atomic<bool> m_hasAudioEngine{false};  // for snapshot() off the main thread
    // Bumped by every stop: a microphone start queued for an earlier recording is dropped.
    std::atomic<std::uint64_t> m_stopGeneration{0};
    std::optional<platform::NotificationCenter::Token> m_micDeviceConnectObserver;
    std::optional<platform::NotificationCenter::Token> m_micDeviceDisconnectObserver;
    std::optional<platform::NotificationCenter::Token> m_appActiveObserver;
    bool m_autoMutedDueToNoSelection = false;
    double m_lastInactivityReminderTime = 0.0;

    RecorderEnvironment m_environment;
    SilentDetector m_silentDetector;
    std::shared_ptr<api::VideoRepositoryProtocol> m_videoRepository;

    // Observable properties; the ones other queues read are atomics.
    bool m_showsCursor = true;
    std::atomic<bool> m_capturesAudio{true};
    std::atomic<AudioSource> m_audioSource{AudioSource::microphone};
    std::atomic<bool> m_isMicrophoneMuted{false};
    bool m_isMicrophoneAuthorized = true;
    bool m_isMicrophoneAvailable = true;
    QString m_backgroundColor = QStringLiteral("white");
    VideoScale m_videoScale = VideoScale::normal;
    std::atomic<bool> m_isRecording{false};
    std::atomic<bool> m_isPaused{false};
    std::optional<QString> m_selectedMicrophoneName;
    bool m_isMicrophoneSourceSelected = false;
    bool m_suppressRecordingBar = false;
    bool m_isRecordingBarPresented = false;
    std::optional<SelectedContentInfo> m_selectedContentInfo;
    bool m_isUploading = false;
    std::optional<api::UploadVideoResponse> m_uploadResponse;
    std::optional<api::NetworkError> m_uploadError;
    bool m_isShowError = false;
    bool m_isSuccess = false;
    std::optional<double> m_uploadProgress;
    std::optional<QString> m_errorMessage;
    std::optional<QString> m_successMessage;
    bool m_showReminder = false;
    int m_inactivityReminderToken = 0;
    StreamOutput m_streamOutput;

    // Capture, content and border: main thread.
    std::optional<platform::ContentFilter> m_contentFilter;
    std::shared_ptr<platform::CaptureStream> m_stream;
    std::unique_ptr<platform::BorderOverlayWindow> m_borderOverlayWindow;
    std::unique_ptr<QTimer> m_borderUpdateTimer;
    bool m_preserveSelectionOnStop = false;
    bool m_skipUploadOnStop = false;
    bool m_startAfterStop = false;  // a repeat is waiting for that stop
    bool m_captureEnding = false;   // a stop, delete or repeat (or the capture itself) ends it
    std::vector<platform::Cancellable> m_cancellableSet;

    // Declared last: destroyed first, so no queued closure outlives the state it touches.
    std::unique_ptr<platform::SerialQueue> m_analysisQueue;
    std::unique_ptr<platform::SerialQueue> m_audioQueue;
    std::unique_ptr<platform::SerialQueue> m_videoQueue;
    std::unique_ptr<platform::SerialQueue> m_writerQueue;
};

}  // namespace recording
