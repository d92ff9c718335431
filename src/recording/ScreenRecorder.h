#pragma once

// Qt first: moc parses the standard headers that the project headers pull in only after Qt's.
#include <QObject>

#include "AudioPipeline.h"
#include "CaptureSession.h"
#include "MicrophoneController.h"
#include "RecordingFile.h"
#include "SelectedContentInfo.h"
#include "SilenceWatch.h"
#include "SilentDetector.h"
#include "VideoPipeline.h"

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

#include <chrono>
#include <memory>
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

// The one recorder the windows see: its observable state, and starting, stopping, deleting and
// repeating a recording. The work is done by its collaborators (the video and audio pipelines,
// the silence watch, the microphone, the capture session and the recording's file); this object
// ties them together. Observable properties change on the main thread only.
class ScreenRecorder : public QObject, public std::enable_shared_from_this<ScreenRecorder> {
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
    using StreamOutput = recording::StreamOutput;

    static constexpr int targetSampleRate = AudioPipeline::targetSampleRate;

    // Builds the recorder on the main thread (its collaborators, the microphone's observers and
    // first availability refresh, the first selection sync).
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
    bool isMicrophoneMuted() const { return m_microphone->isMuted(); }
    bool isMicrophoneAuthorized() const { return m_microphone->isAuthorized(); }
    bool isMicrophoneAvailable() const { return m_microphone->isAvailable(); }
    VideoScale videoScale() const { return m_videoScale; }
    void setVideoScale(VideoScale value) { m_videoScale = value; }
    const QString& backgroundColor() const { return m_backgroundColor; }
    bool isRecording() const { return m_isRecording; }
    bool isPaused() const { return m_isPaused; }
    void setIsPaused(bool value);
    const std::optional<QString>& selectedMicrophoneName() const {
        return m_microphone->selectedName();
    }
    void setSelectedMicrophoneName(std::optional<QString> name);
    QString selectedMicrophoneNameText() const {
        return selectedMicrophoneName().value_or(QString());
    }
    void setSelectedMicrophoneNameText(const QString& name) { setSelectedMicrophoneName(name); }
    bool isMicrophoneSourceSelected() const { return m_microphone->isSourceSelected(); }
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
        return m_microphone->devices().discovery;
    }
    std::shared_ptr<platform::MicrophoneAuthorization> microphoneAuthorization() const {
        return m_microphone->devices().authorization;
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
    bool showReminder() const { return m_silence->showReminder(); }
    int inactivityReminderToken() const { return m_silence->reminderToken(); }

    // --- the microphone (main thread) ---
    Q_INVOKABLE void requestMicrophoneAccess();
    void handleMicrophoneAccessResult(bool granted);  // any thread
    Q_INVOKABLE void setMicrophoneMuted(bool muted);
    void syncMicrophoneSelection();
    Q_INVOKABLE void clearSelection();

    // --- a recording (main thread) ---
    Q_INVOKABLE void startRecording();
    void markRecordingStarted();  // tests that drive frames by hand
    Q_INVOKABLE void stopRecording();
    void finishRecording();
    void uploadRecordedVideo();
    Q_INVOKABLE void deleteRecording();
    Q_INVOKABLE void repeatRecording();
    Q_INVOKABLE void startNewRecording();
    // The application is quitting: the recording that runs is finalized as Stop finalizes it,
    // but not uploaded (its file and "currentVideoPath" stay), and no repeat's next take starts.
    // True when a finalization is under way: recordingFinalized follows.
    bool endForQuit();
    // The process is exiting and the event loop will not run again: finalizes the recording
    // that runs as endForQuit does, waiting here up to `limit` for the file to be finished.
    // False when it was not finished in time.
    bool finalizeBeforeExit(std::chrono::milliseconds limit);

    // --- the content choice and its border (main thread) ---
    Q_INVOKABLE void presentContentPicker(bool displayOnly);
    // The page that asked for the picker goes: the picker goes with it, and a choice it still
    // sends is ignored until the picker is presented again.
    void dismissContentPicker();
    std::optional<platform::Rect> borderFrame() const { return m_capture->borderFrame(); }

    // --- the collaborators, for tests and the benchmarks ---
    VideoPipeline& video() { return *m_video; }
    AudioPipeline& audio() { return *m_audio; }
    SilenceWatch& silence() { return *m_silence; }
    MicrophoneController& microphone() { return *m_microphone; }
    CaptureSession& capture() { return *m_capture; }
    RecordingFile& file() { return *m_file; }

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
    void makeCollaborators();
    void forwardSignals();
    // Runs the work on the main thread if the recorder still exists by then.
    template <class F>
    void onMain(F work) {
        platform::MainQueue::post([weak = weak_from_this(), work = std::move(work)]() mutable {
            if (auto self = weak.lock()) {
                work(*self);
            }
        });
    }

    void setIsRecording(bool value);
    void setIsUploading(bool value);
    void setIsShowError(bool value);
    void setIsSuccess(bool value);
    void setErrorMessage(std::optional<QString> value);
    void setSuccessMessage(std::optional<QString> value);
    void setSelectedContentInfo(std::optional<SelectedContentInfo> value);
    bool wantsMicrophone() const;
    void updateWantsAudioTrack();

    // A start that failed is logged and raised like an upload failure.
    void failStart(const std::string& text);
    void startCapture(const std::string& url, CaptureSession::Completion completion);
    void captureStarted();
    // The capture ended by itself (its window was closed): the recording ends as a stop ends it.
    void captureDidStopWithError(const std::string& text);
    // The new writer's first frame came: the microphone joins, unless the recording was
    // stopped meanwhile (video queue).
    void writerReady();

    // One step of work on one of the collaborators' queues.
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
    // Ends the capture, then runs `then` on the main thread (at once when there is no stream).
    void endCapture(std::function<void(ScreenRecorder&)> then, const char* failurePrefix);
    void discardRecording();
    void clearUploadState();
    void completeStop();
    void startNextRecordingAfterStop();

    RecorderEnvironment m_environment;

    // Observable properties; the ones other threads read are atomics.
    bool m_showsCursor = true;
    std::atomic<bool> m_capturesAudio{true};
    std::atomic<AudioSource> m_audioSource{AudioSource::microphone};
    QString m_backgroundColor = QStringLiteral("white");
    VideoScale m_videoScale = VideoScale::normal;
    std::atomic<bool> m_isRecording{false};
    std::atomic<bool> m_isPaused{false};
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

    // How the recording that runs ends.
    bool m_preserveSelectionOnStop = false;
    bool m_skipUploadOnStop = false;
    bool m_startAfterStop = false;  // a repeat is waiting for that stop
    bool m_captureEnding = false;   // a stop, delete or repeat (or the capture itself) ends it
    // Bumped by every stop: a microphone start queued for an earlier recording is dropped.
    std::atomic<std::uint64_t> m_stopGeneration{0};

    std::shared_ptr<VideoPipeline> m_video;
    std::shared_ptr<SilenceWatch> m_silence;
    std::shared_ptr<AudioPipeline> m_audio;
    std::shared_ptr<MicrophoneController> m_microphone;
    std::shared_ptr<CaptureSession> m_capture;
    std::unique_ptr<RecordingFile> m_file;
};

}  // namespace recording
