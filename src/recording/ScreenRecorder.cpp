#include "ScreenRecorder.h"

#include "platform/AssignIfChanged.h"
#include "platform/MainQueue.h"

#include <QCoreApplication>

namespace recording {

std::optional<VideoScale> videoScaleFromRaw(int raw) {
    switch (raw) {
        case 1:
            return VideoScale::normal;
        case 2:
            return VideoScale::high;
        default:
            return std::nullopt;
    }
}

// --- construction and teardown ---

namespace {
std::atomic<int> s_alive{0};
}  // namespace

ScreenRecorder::AliveCount::AliveCount() {
    ++s_alive;
}
ScreenRecorder::AliveCount::~AliveCount() {
    --s_alive;
}
int ScreenRecorder::aliveCount() {
    return s_alive.load();
}

ScreenRecorder::ScreenRecorder(std::shared_ptr<api::VideoRepositoryProtocol> videoRepository,
                               RecorderEnvironment environment)
    : m_environment(std::move(environment)) {
    if (!m_environment.clock) {
        m_environment.clock = &absoluteTimeNow;
    }
    if (!m_environment.defaults) {
        m_environment.defaults = &platform::DefaultsStore::standard();
    }
    m_file = std::make_unique<RecordingFile>(*m_environment.defaults, std::move(videoRepository));
}

std::shared_ptr<ScreenRecorder> ScreenRecorder::create(
    std::shared_ptr<api::VideoRepositoryProtocol> videoRepository,
    RecorderEnvironment environment) {
    // Work on the collaborators' queues holds the recorder for a moment; when such work lets go
    // last, the recorder is still taken down on the main thread, which owns its timers and
    // observers (and joins the queues).
    std::shared_ptr<ScreenRecorder> recorder(
        new ScreenRecorder(std::move(videoRepository), std::move(environment)),
        [](ScreenRecorder* last) {
            if (platform::MainQueue::isMainThread() || !QCoreApplication::instance()) {
                delete last;
            } else {
                platform::MainQueue::post([last] { delete last; });
            }
        });
    recorder->makeCollaborators();
    recorder->forwardSignals();
    recorder->syncMicrophoneSelection();
    return recorder;
}

void ScreenRecorder::makeCollaborators() {
    std::weak_ptr<ScreenRecorder> weak = weak_from_this();
    VideoPipeline::Events events;
    events.sessionStarting = [this] { m_audio->startTrack(); };
    events.writerReady = [this] { writerReady(); };
    events.failed = [weak] {
        platform::MainQueue::post([weak] {
            if (auto self = weak.lock(); self && self->m_isRecording) {
                self->stopRecording();
            }
        });
    };
    events.advanced = [this] { m_audio->resumeIfWaiting(); };
    events.finished = [weak] {
        platform::MainQueue::post([weak] {
            if (auto self = weak.lock()) {
                self->completeStop();
            }
        });
    };
    m_video = VideoPipeline::create(m_environment.writerFactory, m_environment.runsEncodeTimer,
                                    std::move(events));
    m_silence = SilenceWatch::create(m_environment.clock);
    m_audio = AudioPipeline::create(m_video, [silence = std::weak_ptr<SilenceWatch>(m_silence)](
                                                 const platform::PcmBuffer& pcm) {
        if (auto watch = silence.lock()) {
            watch->hear(pcm);
        }
    });
    m_microphone = MicrophoneController::create(
        {m_environment.audioEngineFactory, m_environment.converterFactory,
         m_environment.deviceDiscovery, m_environment.authorization, m_environment.settingsUi,
         m_environment.defaults},
        {[this] { return wantsMicrophone(); }, [this] { return m_isRecording.load(); }}, m_audio,
        m_silence);
    CaptureSession::Events captureEvents;
    captureEvents.contentChosen = [this](const SelectedContentInfo& info) {
        setSelectedContentInfo(info);
    };
    captureEvents.endedByItself = [this](const std::string& text) {
        captureDidStopWithError(text);
    };
    captureEvents.selectedContent = [this] { return m_selectedContentInfo; };
    m_capture =
        CaptureSession::create({m_environment.captureStreamFactory, m_environment.windowServer,
                                m_environment.contentPicker, m_environment.borderOverlayFactory,
                                m_environment.recordingsFolder},
                               std::move(captureEvents));
}

void ScreenRecorder::forwardSignals() {
    auto* microphone = m_microphone.get();
    connect(microphone, &MicrophoneController::mutedChanged, this,
            &ScreenRecorder::isMicrophoneMutedChanged);
    connect(microphone, &MicrophoneController::authorizedChanged, this,
            &ScreenRecorder::isMicrophoneAuthorizedChanged);
    connect(microphone, &MicrophoneController::availableChanged, this,
            &ScreenRecorder::isMicrophoneAvailableChanged);
    connect(microphone, &MicrophoneController::selectedNameChanged, this,
            &ScreenRecorder::selectedMicrophoneNameChanged);
    connect(microphone, &MicrophoneController::sourceSelectedChanged, this,
            &ScreenRecorder::isMicrophoneSourceSelectedChanged);
    connect(m_silence.get(), &SilenceWatch::showReminderChanged, this,
            &ScreenRecorder::showReminderChanged);
    connect(m_silence.get(), &SilenceWatch::reminderTokenChanged, this,
            &ScreenRecorder::inactivityReminderTokenChanged);
}

ScreenRecorder::~ScreenRecorder() {
    // Nothing queued for the collaborators runs once the recorder is gone: their queues are
    // joined here, the writer's and the picture's first.
    m_video->shutdown();
    m_audio->shutdown();
    m_silence->shutdown();
}

// --- property setters: announce only real changes ---

#define KORVANE_SETTER(name, field, signal)             \
    void ScreenRecorder::name(bool value) {             \
        if (!platform::assignIfChanged(field, value)) { \
            return;                                     \
        }                                               \
        emit signal();                                  \
    }

KORVANE_SETTER(setShowsCursor, m_showsCursor, showsCursorChanged)
KORVANE_SETTER(setSuppressRecordingBar, m_suppressRecordingBar, suppressRecordingBarChanged)
KORVANE_SETTER(setIsRecordingBarPresented, m_isRecordingBarPresented,
               isRecordingBarPresentedChanged)
KORVANE_SETTER(setIsRecording, m_isRecording, isRecordingChanged)
KORVANE_SETTER(setIsUploading, m_isUploading, isUploadingChanged)
KORVANE_SETTER(setIsShowError, m_isShowError, isShowErrorChanged)
KORVANE_SETTER(setIsSuccess, m_isSuccess, isSuccessChanged)
#undef KORVANE_SETTER

void ScreenRecorder::setCapturesAudio(bool value) {
    if (!platform::assignIfChanged(m_capturesAudio, value)) {
        return;
    }
    updateWantsAudioTrack();
    emit capturesAudioChanged();
}

void ScreenRecorder::setAudioSource(AudioSource value) {
    m_audioSource = value;
    updateWantsAudioTrack();
}

void ScreenRecorder::setIsPaused(bool value) {
    if (!platform::assignIfChanged(m_isPaused, value)) {
        return;
    }
    m_video->setPaused(value);
    m_audio->setPaused(value);
    emit isPausedChanged();
}

void ScreenRecorder::setErrorMessage(std::optional<QString> value) {
    if (!platform::assignIfChanged(m_errorMessage, std::move(value))) {
        return;
    }
    emit errorMessageChanged();
}

void ScreenRecorder::setSuccessMessage(std::optional<QString> value) {
    if (!platform::assignIfChanged(m_successMessage, std::move(value))) {
        return;
    }
    emit successMessageChanged();
}

void ScreenRecorder::setSelectedContentInfo(std::optional<SelectedContentInfo> value) {
    if (!platform::assignIfChanged(m_selectedContentInfo, std::move(value))) {
        return;
    }
    emit selectedContentInfoChanged();
}

bool ScreenRecorder::wantsMicrophone() const {
    return m_capturesAudio && m_audioSource == AudioSource::microphone;
}

void ScreenRecorder::updateWantsAudioTrack() {
    m_video->setWantsAudioTrack(wantsMicrophone());
}

// --- the microphone ---

void ScreenRecorder::requestMicrophoneAccess() {
    m_microphone->requestAccess();
}

void ScreenRecorder::handleMicrophoneAccessResult(bool granted) {
    m_microphone->handleAccessResult(granted);
}

void ScreenRecorder::setMicrophoneMuted(bool muted) {
    m_microphone->setMutedByTrader(muted);
}

void ScreenRecorder::setSelectedMicrophoneName(std::optional<QString> name) {
    m_microphone->setSelectedName(std::move(name));
}

void ScreenRecorder::syncMicrophoneSelection() {
    m_microphone->syncSelection();
}

void ScreenRecorder::clearSelection() {
    setSelectedContentInfo(std::nullopt);
    setSelectedMicrophoneName(std::nullopt);
    m_microphone->mute();
}

void ScreenRecorder::writerReady() {
    if (!wantsMicrophone() || m_microphone->isMuted()) {
        return;
    }
    // The microphone belongs to the main thread: it starts there, unless the recording was
    // stopped in the meantime.
    onMain([generation = m_stopGeneration.load()](ScreenRecorder& self) {
        if (self.m_stopGeneration == generation) {
            self.m_microphone->startOrMute();
        }
    });
}

// --- the content choice ---

void ScreenRecorder::presentContentPicker(bool displayOnly) {
    m_capture->presentPicker(displayOnly);
}

void ScreenRecorder::dismissContentPicker() {
    m_capture->dismissPicker();
}

}  // namespace recording
