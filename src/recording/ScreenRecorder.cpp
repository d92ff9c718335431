#include "ScreenRecorder.h"

#include "platform/Log.h"
#include "platform/MainQueue.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>
#include <limits>

namespace recording {

using platform::MediaTime;
using platform::PcmBuffer;

namespace {

platform::AudioFormat targetFormat() {
    return {platform::SampleType::float32, static_cast<double>(ScreenRecorder::targetSampleRate), 1,
            true};
}

// The source buffer copied out of the engine's own, so the engine gets it back at once.
std::optional<PcmBuffer> copyTapBuffer(const PcmBuffer& source) {
    switch (source.format.sampleType) {
        case platform::SampleType::float32:
        case platform::SampleType::int16:
        case platform::SampleType::int32:
            break;
        case platform::SampleType::other:
            return std::nullopt;
    }
    PcmBuffer copy(source.format, source.frameCapacity);
    copy.frameLength = source.frameLength;
    copy.captureTime = source.captureTime;
    const std::size_t bytes =
        std::min(copy.data.size(),
                 static_cast<std::size_t>(source.frameLength) * source.format.bytesPerFrame());
    std::memcpy(copy.data.data(), source.data.data(), std::min(bytes, source.data.size()));
    return copy;
}

}  // namespace

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

void ScreenRecorder::StreamOutput::didOutputSampleBuffer(const platform::VideoSample& sample,
                                                         platform::StreamOutputType type) const {
    if (type == platform::StreamOutputType::screen && videoSampleHandler) {
        videoSampleHandler(sample);
    }
}

// --- construction and teardown ---

ScreenRecorder::ScreenRecorder(std::shared_ptr<api::VideoRepositoryProtocol> videoRepository,
                               RecorderEnvironment environment)
    : m_environment(std::move(environment)),
      m_silentDetector(m_environment.clock ? m_environment.clock
                                           : SilentDetector::Clock(&absoluteTimeNow)),
      m_videoRepository(std::move(videoRepository)),
      m_analysisQueue(std::make_unique<platform::SerialQueue>("screen.recorder.audio.analysis")),
      m_audioQueue(std::make_unique<platform::SerialQueue>("screen.recorder.audio")),
      m_videoQueue(std::make_unique<platform::SerialQueue>("screen.recorder.video")),
      m_writerQueue(std::make_unique<platform::SerialQueue>("screen.recorder.writer")) {
    if (!m_environment.clock) {
        m_environment.clock = &absoluteTimeNow;
    }
    if (!m_environment.defaults) {
        m_environment.defaults = &platform::DefaultsStore::standard();
    }
}

std::shared_ptr<ScreenRecorder> ScreenRecorder::create(
    std::shared_ptr<api::VideoRepositoryProtocol> videoRepository,
    RecorderEnvironment environment) {
    // Work on the recorder's queues holds it for a moment; when such work lets go last, the
    // recorder is still taken down on the main thread, which owns its timers and observers
    // (and outlives the queues: their threads are joined by the destructor).
    std::shared_ptr<ScreenRecorder> recorder(
        new ScreenRecorder(std::move(videoRepository), std::move(environment)),
        [](ScreenRecorder* last) {
            if (platform::MainQueue::isMainThread() || !QCoreApplication::instance()) {
                delete last;
            } else {
                platform::MainQueue::post([last] { delete last; });
            }
        });
    recorder->installDeviceObservers();
    recorder->syncMicrophoneSelection();
    return recorder;
}

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

ScreenRecorder::~ScreenRecorder() {
    stopVideoEncoder();
    auto& center = platform::NotificationCenter::defaultCenter();
    for (auto* token :
         {&m_micDeviceConnectObserver, &m_micDeviceDisconnectObserver, &m_appActiveObserver}) {
        if (*token) {
            center.removeObserver(**token);
        }
    }
    if (m_audioEngine) {
        m_audioEngine->removeTap();
        m_audioEngine->stop();
    }
}

void ScreenRecorder::installDeviceObservers() {
    refreshMicrophoneAvailability();
    auto& center = platform::NotificationCenter::defaultCenter();
    std::weak_ptr<ScreenRecorder> weak = weak_from_this();
    auto refresh = [weak](const QVariantMap&) {
        if (auto self = weak.lock()) {
            self->refreshMicrophoneAvailability();
        }
    };
    m_micDeviceConnectObserver = center.addObserver(platform::kCaptureDeviceWasConnected, refresh);
    m_micDeviceDisconnectObserver =
        center.addObserver(platform::kCaptureDeviceWasDisconnected, refresh);
    m_appActiveObserver = center.addObserver(platform::kApplicationDidBecomeActive, refresh);
}

// --- property setters: announce only real changes ---

#define KORVANE_SETTER(name, field, signal) \
    void ScreenRecorder::name(bool value) { \
        if (field == value) {               \
            return;                         \
        }                                   \
        field = value;                      \
        emit signal();                      \
    }

KORVANE_SETTER(setShowsCursor, m_showsCursor, showsCursorChanged)
KORVANE_SETTER(setCapturesAudio, m_capturesAudio, capturesAudioChanged)
KORVANE_SETTER(setIsPaused, m_isPaused, isPausedChanged)
KORVANE_SETTER(setSuppressRecordingBar, m_suppressRecordingBar, suppressRecordingBarChanged)
KORVANE_SETTER(setIsRecordingBarPresented, m_isRecordingBarPresented,
               isRecordingBarPresentedChanged)
KORVANE_SETTER(setIsMicrophoneMuted, m_isMicrophoneMuted, isMicrophoneMutedChanged)
KORVANE_SETTER(setIsMicrophoneAuthorized, m_isMicrophoneAuthorized, isMicrophoneAuthorizedChanged)
KORVANE_SETTER(setIsMicrophoneAvailable, m_isMicrophoneAvailable, isMicrophoneAvailableChanged)
KORVANE_SETTER(setIsMicrophoneSourceSelected, m_isMicrophoneSourceSelected,
               isMicrophoneSourceSelectedChanged)
KORVANE_SETTER(setShowReminder, m_showReminder, showReminderChanged)
KORVANE_SETTER(setIsRecording, m_isRecording, isRecordingChanged)
KORVANE_SETTER(setIsUploading, m_isUploading, isUploadingChanged)
KORVANE_SETTER(setIsShowError, m_isShowError, isShowErrorChanged)
KORVANE_SETTER(setIsSuccess, m_isSuccess, isSuccessChanged)
#undef KORVANE_SETTER

void ScreenRecorder::setAudioSource(AudioSource value) {
    m_audioSource = value;
}

void ScreenRecorder::setInactivityReminderToken(int value) {
    if (m_inactivityReminderToken == value) {
        return;
    }
    m_inactivityReminderToken = value;
    emit inactivityReminderTokenChanged();
}

void ScreenRecorder::setSelectedMicrophoneName(std::optional<QString> name) {
    if (m_selectedMicrophoneName == name) {
        return;
    }
    m_selectedMicrophoneName = std::move(name);
    emit selectedMicrophoneNameChanged();
    syncMicrophoneSelection();
}

void ScreenRecorder::markRecordingStarted() {
    setIsRecording(true);
}

void ScreenRecorder::setErrorMessage(std::optional<QString> value) {
    if (m_errorMessage != value) {
        m_errorMessage = std::move(value);
        emit errorMessageChanged();
    }
}

void ScreenRecorder::setSuccessMessage(std::optional<QString> value) {
    if (m_successMessage != value) {
        m_successMessage = std::move(value);
        emit successMessageChanged();
    }
}

void ScreenRecorder::setSelectedContentInfo(std::optional<SelectedContentInfo> value) {
    if (m_selectedContentInfo != value) {
        m_selectedContentInfo = std::move(value);
        emit selectedContentInfoChanged();
    }
}

ScreenRecorder::EngineSnapshot ScreenRecorder::snapshot() const {
    std::lock_guard lock(m_mutex);
    EngineSnapshot s;
    s.hasWriter = m_assetWriter != nullptr;
    s.hasAudioInput = m_hasAudioInput;
    s.writerStarted = m_writerStarted;
    s.isVideoEncoderRunning = m_isVideoEncoderRunning;
    s.hasAudioEngine = m_hasAudioEngine;
    s.firstVideoPTS = m_firstVideoPTS;
    s.videoFrameIndex = m_videoFrameIndex;
    s.audioFramePosition = m_audioFramePosition;
    s.expectedVideoSize = m_expectedVideoSize;
    s.pendingAudioPCMCount = m_pendingAudioPCM.size();
    s.pendingAudioPCMReadIndex = m_pendingAudioPCMReadIndex;
    s.silentDetectorCounter = m_silentDetectorCounter;
    s.droppedFrameSlots = m_droppedFrameSlots;
    return s;
}

// --- microphone state ---

bool ScreenRecorder::startConditionHolds() const {
    return m_isRecording && m_capturesAudio && m_audioSource == AudioSource::microphone &&
           !m_isMicrophoneMuted;
}

void ScreenRecorder::refreshMicrophoneAvailability() {
    const auto status = m_environment.authorization ? m_environment.authorization->status()
                                                    : platform::AuthorizationStatus::authorized;
    const bool authorized = status == platform::AuthorizationStatus::authorized;
    const bool hasDevices =
        m_environment.deviceDiscovery && !m_environment.deviceDiscovery->devices().empty();
    setIsMicrophoneAuthorized(authorized);
    setIsMicrophoneAvailable(authorized && hasDevices);
    if (!(authorized && m_isMicrophoneAvailable)) {
        setIsMicrophoneMuted(true);
        if (m_audioSource == AudioSource::microphone) {
            stopMicrophone(false);
        }
    }
}

void ScreenRecorder::requestMicrophoneAccess() {
    const auto status = m_environment.authorization ? m_environment.authorization->status()
                                                    : platform::AuthorizationStatus::authorized;
    switch (status) {
        case platform::AuthorizationStatus::notDetermined: {
            std::weak_ptr<ScreenRecorder> weak = weak_from_this();
            m_environment.authorization->requestAccess([weak](bool granted) {
                if (auto self = weak.lock()) {
                    self->handleMicrophoneAccessResult(granted);
                }
            });
            break;
        }
        case platform::AuthorizationStatus::denied:
        case platform::AuthorizationStatus::restricted:
            refreshMicrophoneAvailability();
            showMicrophoneAccessAlert();
            break;
        case platform::AuthorizationStatus::authorized:
            refreshMicrophoneAvailability();
            break;
    }
}

void ScreenRecorder::handleMicrophoneAccessResult(bool granted) {
    onMain([granted](ScreenRecorder& self) {
        self.setIsMicrophoneAuthorized(granted);
        self.refreshMicrophoneAvailability();
        if (granted && self.startConditionHolds()) {
            (void)self.startMicrophone();
        }
    });
}

void ScreenRecorder::showMicrophoneAccessAlert() {
    if (!m_environment.settingsUi) {
        return;
    }
    if (m_environment.settingsUi->runAccessAlert(
            "Microphone Access Needed",
            "Please allow microphone access in System Settings to record audio.",
            "Open System Settings", "Cancel")) {
        openMicrophonePrivacySettings();
    }
}

void ScreenRecorder::openMicrophonePrivacySettings() {
    if (m_environment.settingsUi) {
        m_environment.settingsUi->openMicrophoneSettings();
    }
}

void ScreenRecorder::setMicrophoneMuted(bool muted) {
    refreshMicrophoneAvailability();
    if (muted) {
        setIsMicrophoneMuted(true);
        m_silentDetector.setLastSpeechTime(m_silentDetector.now());
        onMain([](ScreenRecorder& self) { self.dismissReminder(); });
        return;
    }
    if (m_isMicrophoneAuthorized && m_isMicrophoneAvailable) {
        setIsMicrophoneMuted(false);
        if (m_capturesAudio && m_audioSource == AudioSource::microphone && m_isRecording) {
            (void)startMicrophone();
        }
    } else {
        setIsMicrophoneMuted(true);
    }
}

void ScreenRecorder::syncMicrophoneSelection() {
    const bool selected = m_selectedMicrophoneName && !m_selectedMicrophoneName->isEmpty();
    setIsMicrophoneSourceSelected(selected);
    if (selected) {
        if (m_autoMutedDueToNoSelection) {
            m_autoMutedDueToNoSelection = false;
            setIsMicrophoneMuted(false);
        }
        if (startConditionHolds()) {
            (void)startMicrophone();
        }
        return;
    }
    if (!m_isMicrophoneMuted) {
        m_autoMutedDueToNoSelection = true;
        setIsMicrophoneMuted(true);
    }
    stopMicrophone(false);
}

void ScreenRecorder::clearSelection() {
    setSelectedContentInfo(std::nullopt);
    setSelectedMicrophoneName(std::nullopt);
    setIsMicrophoneMuted(true);
}

// --- microphone pipeline ---

std::expected<void, std::string> ScreenRecorder::startMicrophone() {
    refreshMicrophoneAvailability();
    if (!m_capturesAudio || m_audioSource != AudioSource::microphone || m_isMicrophoneMuted ||
        !m_isMicrophoneSourceSelected || !m_isMicrophoneAuthorized || !m_isMicrophoneAvailable) {
        return {};
    }
    if (m_audioEngine && m_audioEngine->isRunning()) {
        return {};
    }
    // The microphone the trader picked; the default source when none is stored.
    const std::string deviceId =
        m_environment.defaults->string("SelectedMicrophoneKey").value_or(std::string());
    auto engine =
        m_environment.audioEngineFactory ? m_environment.audioEngineFactory(deviceId) : nullptr;
    if (!engine) {
        return std::unexpected(std::string("No audio engine"));
    }
    const auto inputFormat = engine->inputFormat();
    std::shared_ptr<platform::AudioConverter> converter =
        m_environment.converterFactory ? m_environment.converterFactory(inputFormat, targetFormat())
                                       : nullptr;
    if (!converter) {
        platform::logLine("Failed to create AVAudioConverter");
        return {};
    }
    {
        std::lock_guard lock(m_mutex);
        m_audioConverter = converter;
    }
    std::weak_ptr<ScreenRecorder> weak = weak_from_this();
    engine->installTap(tapBufferFrames, [weak](const PcmBuffer& buffer) {
        if (auto self = weak.lock()) {
            self->handleMicrophoneTap(buffer);
        }
    });
    if (auto started = engine->start(); !started) {
        engine->removeTap();
        return std::unexpected(started.error());
    }
    m_audioEngine = std::move(engine);
    m_hasAudioEngine = true;
    {
        // Audio that starts into a running recording belongs at the picture's current time,
        // not right after the last sound written.
        std::lock_guard lock(m_mutex);
        m_alignAudioToVideo = true;
        m_audioAlignStamped = false;
    }
    m_silentDetector.setLastSpeechTime(m_silentDetector.now());
    m_lastInactivityReminderTime = m_environment.clock();
    onMain([](ScreenRecorder& self) { self.dismissReminder(); });
    return {};
}

void ScreenRecorder::stopMicrophone(bool resetPipeline) {
    if (m_audioEngine) {
        m_audioEngine->removeTap();
        m_audioEngine->stop();
        m_audioEngine.reset();
        m_hasAudioEngine = false;
    }
    if (resetPipeline) {
        std::lock_guard lock(m_mutex);
        m_audioConverter.reset();
        m_audioFramePosition = 0;
        m_pendingAudioPCM.clear();
        m_pendingAudioPCMReadIndex = 0;
        m_isDrainingAudioPCM = false;
        m_didRequestAudioMediaData = false;
    }
    m_silentDetector.setLastSpeechTime(m_silentDetector.now());
    m_lastInactivityReminderTime = 0.0;
    setInactivityReminderToken(0);
    onMain([](ScreenRecorder& self) { self.dismissReminder(); });
}

void ScreenRecorder::handleMicrophoneTap(const PcmBuffer& buffer) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_hasAudioInput || m_isPaused) {
            return;
        }
        if (m_alignAudioToVideo && !m_audioAlignStamped) {
            // The first buffer of a microphone fixes where its audio goes. A device that says
            // when it heard the buffer is placed by that, on the picture's clock. Otherwise the
            // buffer holds the sound of the moment just before it arrived: it belongs where the
            // picture is now, however long the device took to warm up; before the first frame
            // that is the start of the file.
            m_audioAlignStamped = true;
            m_audioAlignCaptureTime = buffer.captureTime;
            const auto bufferFrames = static_cast<std::int64_t>(
                buffer.frameLength * static_cast<double>(targetSampleRate) /
                std::max(buffer.format.sampleRate, 1.0));
            m_audioAlignPosition =
                m_firstVideoPTS ? m_videoFrameIndex * targetSampleRate / targetFPS - bufferFrames
                                : std::int64_t{0};
        }
    }
    auto copy = copyTapBuffer(buffer);
    if (!copy) {
        return;
    }
    // Muting applies to what is heard while muted, however long the buffer waits to be written.
    PendingAudio pending{std::move(*copy), m_isMicrophoneMuted.load()};
    std::weak_ptr<ScreenRecorder> weak = weak_from_this();
    m_audioQueue->post([weak, pending = std::move(pending)]() mutable {
        if (auto self = weak.lock()) {
            self->enqueuePendingAudio(std::move(pending));
        }
    });
}

void ScreenRecorder::enqueuePendingAudio(PendingAudio buffer) {
    {
        std::lock_guard lock(m_mutex);
        m_pendingAudioPCM.push_back(std::move(buffer));
    }
    scheduleAudioDrain();
}

void ScreenRecorder::scheduleAudioDrain() {
    {
        std::lock_guard lock(m_mutex);
        if (m_isDrainingAudioPCM) {
            return;
        }
        m_isDrainingAudioPCM = true;
    }
    std::weak_ptr<ScreenRecorder> weak = weak_from_this();
    m_audioQueue->post([weak] {
        if (auto self = weak.lock()) {
            self->drainPendingAudio();
        }
    });
}

void ScreenRecorder::drainPendingAudio() {
    for (;;) {
        std::shared_ptr<platform::AssetWriter> writer;
        std::shared_ptr<platform::AudioConverter> converter;
        std::optional<MediaTime> firstPTS;
        const PendingAudio* source = nullptr;
        {
            std::lock_guard lock(m_mutex);
            if (m_pendingAudioPCMReadIndex >= m_pendingAudioPCM.size() || m_isPaused ||
                !m_hasAudioInput || !m_firstVideoPTS || !m_writerStarted || !m_assetWriter ||
                !m_audioConverter) {
                break;
            }
            writer = m_assetWriter;
            converter = m_audioConverter;
            firstPTS = m_firstVideoPTS;
            if (m_alignAudioToVideo && m_audioAlignStamped) {
                // The gap up to where the picture was when the microphone started is written
                // as silence by the writer. Sound heard before the first picture comes before
                // the file's start and is left out.
                m_alignAudioToVideo = false;
                std::int64_t align = std::max<std::int64_t>(0, m_audioAlignPosition);
                if (m_audioAlignCaptureTime.isValid()) {
                    // A time on another clock than the picture's would put the sound anywhere:
                    // it is believed only near where the buffer arrived.
                    const std::int64_t heard =
                        (m_audioAlignCaptureTime - *firstPTS).convertScale(targetSampleRate).value;
                    if (std::abs(heard - m_audioAlignPosition) <=
                        maxCaptureDelaySeconds * targetSampleRate) {
                        align = heard;
                    }
                }
                m_audioFramePosition =
                    m_audioFramePosition == 0 ? align : std::max(m_audioFramePosition, align);
            }
            // Sound is never written ahead of the picture (a virtual source may render ahead of
            // time): it waits until the picture gets there, or is cut where the picture ends.
            if (!m_audioEndPosition &&
                m_audioFramePosition >= m_videoFrameIndex * targetSampleRate / targetFPS) {
                break;
            }
            // Only this queue changes the pending list, so the element stays put while we use it.
            source = &m_pendingAudioPCM[m_pendingAudioPCMReadIndex];
        }
        if (!writer->isAudioReadyForMoreMediaData()) {
            break;
        }

        bool consumed = false;
        auto supply = [&](const PcmBuffer** handed) {
            if (consumed) {
                return platform::AudioConverter::InputStatus::noDataNow;
            }
            consumed = true;
            *handed = &source->pcm;
            return platform::AudioConverter::InputStatus::haveData;
        };
        PcmBuffer converted(targetFormat(), convertedBufferFrames);
        for (;;) {
            converted.frameLength = 0;
            if (auto result = converter->convert(converted, supply); !result) {
                platform::logLine("Audio convert error: " + result.error());
                break;
            }
            int frames = converted.frameLength;
            if (frames == 0) {
                break;
            }
            float* samples = converted.floatData();
            for (int i = 0; i < frames; ++i) {
                samples[i] = std::clamp(samples[i] * gain, -clipLimit, clipLimit);
            }

            std::int64_t position = 0;
            bool analyse = false;
            int skip = 0;
            int keep = frames;
            {
                std::lock_guard lock(m_mutex);
                analyse = ++m_silentDetectorCounter % analysisEvery == 0;
                position = m_audioFramePosition;
                // Only the part of the buffer between the file's start and the picture's end.
                const std::int64_t end =
                    m_audioEndPosition.value_or(std::numeric_limits<std::int64_t>::max());
                skip = static_cast<int>(std::clamp<std::int64_t>(-position, 0, frames));
                keep = static_cast<int>(
                    std::clamp<std::int64_t>(end - (position + skip), 0, frames - skip));
                m_audioFramePosition += frames - keep;  // what is left out still passes by
                position += skip;
            }
            if (analyse) {
                std::weak_ptr<ScreenRecorder> weak = weak_from_this();
                m_analysisQueue->post([weak, copy = converted] {
                    if (auto self = weak.lock()) {
                        self->analyseSilence(copy);
                    }
                });
            }
            if (skip > 0 && keep > 0) {
                std::memmove(samples, samples + skip,
                             static_cast<std::size_t>(keep) * sizeof(float));
            }
            frames = keep;
            if (frames == 0) {
                continue;
            }
            // Muting is decided after the hand-off: the silence watch hears the real microphone.
            if (source->muted) {
                std::fill(samples, samples + frames, 0.0f);
            }
            const MediaTime pts = *firstPTS + MediaTime(position, targetSampleRate);
            if (!writer->isAudioReadyForMoreMediaData()) {
                break;
            }
            if (!writer->appendAudio(samples, frames, pts)) {
                if (auto error = writer->error()) {
                    platform::logLine("append(audio) failed: " + *error);
                    break;
                }
            }
            std::lock_guard lock(m_mutex);
            m_audioFramePosition += frames;
        }

        std::lock_guard lock(m_mutex);
        if (consumed) {
            ++m_pendingAudioPCMReadIndex;
        }
        if (m_pendingAudioPCMReadIndex >= compactionThreshold) {
            m_pendingAudioPCM.erase(m_pendingAudioPCM.begin(),
                                    m_pendingAudioPCM.begin() +
                                        static_cast<std::ptrdiff_t>(m_pendingAudioPCMReadIndex));
            m_pendingAudioPCMReadIndex = 0;
        }
        if (!consumed) {
            break;
        }
    }
    std::lock_guard lock(m_mutex);
    m_isDrainingAudioPCM = false;
}

// --- silence watch ---

void ScreenRecorder::analyseSilence(const PcmBuffer& buffer) {
    if (!buffer.hasFloatData() || buffer.frameLength <= 0) {
        return;
    }
    const float rms = rootMeanSquare(buffer.floatData(), buffer.frameLength);
    const float frequency = dominantFrequency(buffer.floatData(), buffer.frameLength,
                                              static_cast<float>(buffer.format.sampleRate));
    const double now = m_silentDetector.now();
    if (frequency >= m_silentDetector.frequencyThresholdHz ||
        rms >= m_silentDetector.rmsThreshold) {
        m_silentDetector.setLastSpeechTime(now);
        onMain([](ScreenRecorder& self) { self.updateInactivityReminder(false); });
        return;
    }
    const bool isSilent =
        now - m_silentDetector.lastSpeechTime() >= m_silentDetector.silenceDuration;
    onMain([isSilent](ScreenRecorder& self) { self.updateInactivityReminder(isSilent); });
}

void ScreenRecorder::updateInactivityReminder(bool isSilent) {
    const double now = m_environment.clock();
    if (isSilent) {
        if (now - m_lastInactivityReminderTime >= 60.0) {
            m_lastInactivityReminderTime = now;
            setShowReminder(true);
            setInactivityReminderToken(m_inactivityReminderToken + 1);
        }
        return;
    }
    setShowReminder(false);
    m_lastInactivityReminderTime = now;
}

void ScreenRecorder::dismissReminder() {
    setShowReminder(false);
}

// --- video path ---

void ScreenRecorder::setPendingOutputURL(std::optional<std::string> path) {
    std::lock_guard lock(m_mutex);
    m_pendingOutputURL = std::move(path);
}

void ScreenRecorder::handleVideoSample(const platform::VideoSample& sample) {
    if (!sample.isValid || !sample.dataIsReady || sample.mediaType != platform::MediaType::video ||
        !sample.imageBuffer || m_isPaused) {
        return;
    }
    std::weak_ptr<ScreenRecorder> weak = weak_from_this();
    m_videoQueue->post([weak, image = sample.imageBuffer, pts = sample.presentationTime] {
        if (auto self = weak.lock()) {
            self->ingestVideoFrame(image, pts);
        }
    });
}

void ScreenRecorder::ingestVideoFrame(std::shared_ptr<const platform::PixelBuffer> image,
                                      MediaTime pts) {
    bool haveWriter = false;
    std::optional<std::string> url;
    {
        std::lock_guard lock(m_mutex);
        haveWriter = m_assetWriter != nullptr;
        url = m_pendingOutputURL;
    }
    if (!haveWriter) {
        if (!url) {
            return;
        }
        const int width = std::max(image->width, 2);
        const int height = std::max(image->height, 2);
        if (auto ready = setupWriter(*url, width, height); !ready) {
            // Said once: the frames that follow find no file to go to, and the recording ends
            // with the reason raised instead of running on with nothing written.
            platform::logLine("setupWriter failed: " + ready.error());
            {
                std::lock_guard lock(m_mutex);
                m_pendingOutputURL.reset();
                m_writerFailure = ready.error();
            }
            onMain([](ScreenRecorder& self) {
                if (self.m_isRecording) {
                    self.stopRecording();
                }
            });
            return;
        }
        {
            std::lock_guard lock(m_mutex);
            m_expectedVideoSize = std::make_pair(width, height);
        }
        if (m_capturesAudio && m_audioSource == AudioSource::microphone && !m_isMicrophoneMuted) {
            // The microphone's flags belong to the main thread: start it there, unless the
            // recording was stopped in the meantime.
            onMain([generation = m_stopGeneration.load()](ScreenRecorder& self) {
                if (self.m_stopGeneration == generation) {
                    (void)self.startMicrophone();
                }
            });
        }
    }
    bool needsStart = false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_firstVideoPTS) {
            m_firstVideoPTS = pts;
            m_videoFrameIndex = 0;
            m_audioFramePosition = 0;
            m_audioEndPosition.reset();
            needsStart = true;
        }
    }
    if (needsStart) {
        startWriterIfNeeded(pts);
    }
    {
        std::lock_guard lock(m_mutex);
        m_latestCapturedPixelBuffer = std::move(image);
    }
    startVideoEncoderIfNeeded();
}

std::expected<void, std::string> ScreenRecorder::setupWriter(const std::string& url, int width,
                                                             int height) {
    auto created = m_environment.writerFactory(url);
    if (!created) {
        return std::unexpected(created.error());
    }
    std::shared_ptr<platform::AssetWriter> writer = std::move(*created);
    platform::VideoOutputSettings video;
    video.width = width;
    video.height = height;
    video.averageBitRate = 6'000'000;
    video.maxKeyFrameInterval = std::max(targetFPS, 30) * 2;
    video.mediaTimeScale = std::max(targetFPS, 30);
    const bool hasVideo = writer->canAddVideoInput() && writer->addVideoInput(video);
    bool hasAudio = false;
    if (m_capturesAudio && m_audioSource == AudioSource::microphone) {
        hasAudio =
            writer->canAddAudioInput() && writer->addAudioInput(platform::AudioOutputSettings{});
    }
    auto compositor = writer->makeCompositor();
    stopVideoEncoder();
    std::lock_guard lock(m_mutex);
    m_assetWriter = std::move(writer);
    m_hasVideoInput = hasVideo;
    m_hasAudioInput = hasAudio;
    m_compositor = std::move(compositor);
    m_didRequestAudioMediaData = false;
    m_writerStarted = false;
    m_isFinalizingRecording = false;
    m_firstVideoPTS.reset();
    m_videoFrameIndex = 0;
    m_audioFramePosition = 0;
    m_audioEndPosition.reset();
    m_pendingAudioPCM.clear();
    m_pendingAudioPCMReadIndex = 0;
    m_isDrainingAudioPCM = false;
    m_droppedFrameSlots = 0;
    return {};
}

void ScreenRecorder::startWriterIfNeeded(MediaTime at) {
    std::shared_ptr<platform::AssetWriter> writer;
    {
        std::lock_guard lock(m_mutex);
        if (!m_assetWriter || m_writerStarted) {
            return;
        }
        writer = m_assetWriter;
    }
    if (!writer->startWriting()) {
        platform::logLine("Failed to start AVAssetWriter: " +
                          writer->error().value_or("unknown error"));
        return;
    }
    writer->startSession(at);
    {
        std::lock_guard lock(m_mutex);
        m_writerStarted = true;
        if (m_hasAudioInput && !m_didRequestAudioMediaData &&
            writer->status() == platform::AssetWriterStatus::writing) {
            // The audio track is fed by the drain; nothing waits on the writer's readiness.
            m_didRequestAudioMediaData = true;
        }
    }
    startVideoEncoderIfNeeded();
}

void ScreenRecorder::startVideoEncoderIfNeeded() {
    MediaTime firstPTS;
    {
        std::lock_guard lock(m_mutex);
        if (m_isVideoEncoderRunning || !m_firstVideoPTS) {
            return;
        }
        if (!m_writerStarted || !m_hasVideoInput) {
            return;
        }
        m_isVideoEncoderRunning = true;
        firstPTS = *m_firstVideoPTS;
    }
    if (!m_environment.runsEncodeTimer) {
        return;
    }
    const auto interval = std::chrono::nanoseconds(1'000'000'000 / std::max(targetFPS, 1));
    std::weak_ptr<ScreenRecorder> weak = weak_from_this();
    auto timer = m_videoQueue->startTimer(platform::SerialQueue::Clock::now(), interval,
                                          [weak, firstPTS](std::uint64_t ticks) {
                                              if (auto self = weak.lock()) {
                                                  self->encodeLatestFrame(firstPTS, ticks);
                                              }
                                          });
    std::unique_ptr<platform::QueueTimer> previous;
    {
        std::lock_guard lock(m_mutex);
        previous = std::move(m_videoEncodeTimer);
        m_videoEncodeTimer = std::move(timer);
    }
}

void ScreenRecorder::stopVideoEncoder() {
    std::unique_ptr<platform::QueueTimer> timer;
    {
        std::lock_guard lock(m_mutex);
        timer = std::move(m_videoEncodeTimer);
        m_isVideoEncoderRunning = false;
        m_latestCapturedPixelBuffer.reset();
    }
    if (timer) {
        timer->cancel();  // outside the lock: it waits for a tick in progress
    }
}

void ScreenRecorder::encodeTick(std::uint64_t ticks) {
    std::optional<MediaTime> firstPTS;
    {
        std::lock_guard lock(m_mutex);
        firstPTS = m_firstVideoPTS;
    }
    if (firstPTS) {
        encodeLatestFrame(*firstPTS, ticks);
    }
}

void ScreenRecorder::encodeLatestFrame(MediaTime firstPTS, std::uint64_t ticks) {
    if (m_isPaused) {
        return;
    }
    std::shared_ptr<platform::AssetWriter> writer;
    std::shared_ptr<platform::FrameCompositor> compositor;
    std::shared_ptr<const platform::PixelBuffer> latest;
    std::int64_t slot = 0;
    bool holdsAudio = false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_writerStarted || !m_hasVideoInput || !m_assetWriter || !m_compositor ||
            !m_expectedVideoSize || !m_latestCapturedPixelBuffer) {
            return;
        }
        writer = m_assetWriter;
        compositor = m_compositor;
        latest = m_latestCapturedPixelBuffer;
        // A late run stands for every interval that passed: the slots it missed stay empty,
        // so the picture keeps its place on the timeline next to the narration.
        slot = m_videoFrameIndex + static_cast<std::int64_t>(ticks) - 1;
        m_videoFrameIndex += static_cast<std::int64_t>(ticks);
        m_droppedFrameSlots += ticks - 1;
        // Sound that waited for the picture to get this far goes on now.
        holdsAudio = m_pendingAudioPCMReadIndex < m_pendingAudioPCM.size() && !m_isDrainingAudioPCM;
    }
    if (holdsAudio) {
        scheduleAudioDrain();
    }
    const MediaTime pts = firstPTS + MediaTime(slot, targetFPS);
    auto frame = writer->isVideoReadyForMoreMediaData() ? writer->makePooledFrame() : nullptr;
    if (!frame) {
        std::lock_guard lock(m_mutex);
        ++m_droppedFrameSlots;
        return;
    }
    // Held by this tick: the writer queue may clear the writer state meanwhile. A slot whose
    // frame did not make it into the file is counted as left empty, like a late one.
    if (!compositor->render(*latest, *frame)) {
        std::lock_guard lock(m_mutex);
        ++m_droppedFrameSlots;
        return;
    }
    if (!writer->appendVideo(std::move(frame), pts)) {
        if (auto error = writer->error()) {
            platform::logLine("append(video) failed: " + *error);
        }
        std::lock_guard lock(m_mutex);
        ++m_droppedFrameSlots;
    }
}

// --- ending a recording ---

void ScreenRecorder::runStep(std::weak_ptr<ScreenRecorder> weak,
                             std::shared_ptr<std::vector<QueueStep>> steps, std::size_t index) {
    (*steps)[index].queue->post([weak, steps, index] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (const auto& work = (*steps)[index].work) {
            work(*self);
        }
        if (index + 1 < steps->size()) {
            runStep(weak, steps, index + 1);
        }
    });
}

void ScreenRecorder::runInOrder(std::vector<QueueStep> steps) {
    if (!steps.empty()) {
        runStep(weak_from_this(), std::make_shared<std::vector<QueueStep>>(std::move(steps)), 0);
    }
}

void ScreenRecorder::haltInputs() {
    ++m_stopGeneration;
    stopMicrophone(false);
    stopVideoEncoder();
}

void ScreenRecorder::finishRecording() {
    haltInputs();
    // Frames already handed over are let through the writer and video queues first, so none of
    // them restarts the encode timer or reaches the writer after it is finalized. The picture's
    // length is final then: the audio track is ended there before the writer finishes the file.
    runInOrder({{m_writerQueue.get(), {}},
                {m_videoQueue.get(), [](ScreenRecorder& self) { self.stopVideoEncoder(); }},
                {m_audioQueue.get(), [](ScreenRecorder& self) { self.finishAudioTrack(); }},
                {m_writerQueue.get(), [](ScreenRecorder& self) { self.finalizeWriter(); }}});
}

void ScreenRecorder::finishAudioTrack() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_hasAudioInput || !m_writerStarted || !m_assetWriter || !m_firstVideoPTS) {
            return;
        }
        m_audioEndPosition = m_videoFrameIndex * targetSampleRate / targetFPS;
    }
    // Buffers the microphone handed over before it stopped are queued ahead of this run.
    drainPendingAudio();
    std::shared_ptr<platform::AssetWriter> writer;
    MediaTime lastSample;
    {
        std::lock_guard lock(m_mutex);
        if (!m_assetWriter || !m_firstVideoPTS || m_audioFramePosition >= *m_audioEndPosition) {
            return;
        }
        writer = m_assetWriter;
        lastSample = *m_firstVideoPTS + MediaTime(*m_audioEndPosition - 1, targetSampleRate);
        m_audioFramePosition = *m_audioEndPosition;
    }
    // A device that delivers in large blocks (or none at all while muted) leaves the track
    // short: the writer fills the gap up to this last sample with silence.
    const float silence = 0.0f;
    if (writer->isAudioReadyForMoreMediaData() && !writer->appendAudio(&silence, 1, lastSample)) {
        if (auto error = writer->error()) {
            platform::logLine("append(audio) failed: " + *error);
        }
    }
}

void ScreenRecorder::finalizeWriter() {
    std::shared_ptr<platform::AssetWriter> writer;
    bool hasAudio = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_isFinalizingRecording) {
            return;
        }
        m_isFinalizingRecording = true;
        writer = m_assetWriter;
        hasAudio = m_hasAudioInput;
    }
    if (!writer) {
        resetWriterState();
        return;
    }
    switch (writer->status()) {
        case platform::AssetWriterStatus::unknown:
            writer->cancelWriting();
            resetWriterState();
            return;
        case platform::AssetWriterStatus::writing: {
            writer->markVideoAsFinished();
            if (hasAudio) {
                writer->markAudioAsFinished();
            }
            std::weak_ptr<ScreenRecorder> weak = weak_from_this();
            writer->finishWriting([weak, writer] {
                if (auto self = weak.lock()) {
                    // A trailer that could not be written leaves a file no player opens.
                    if (writer->status() == platform::AssetWriterStatus::failed) {
                        self->noteWriterFailure(*writer);
                    }
                    self->resetWriterState();
                }
            });
            return;
        }
        case platform::AssetWriterStatus::failed:
            // A write failed while recording (the disk filled): what is on disk has no index.
            noteWriterFailure(*writer);
            resetWriterState();
            return;
        case platform::AssetWriterStatus::completed:
        case platform::AssetWriterStatus::cancelled:
            resetWriterState();
            return;
    }
}

void ScreenRecorder::noteWriterFailure(const platform::AssetWriter& writer) {
    std::lock_guard lock(m_mutex);
    m_writerFailure = writer.error().value_or("The recording could not be written");
}

void ScreenRecorder::clearWriterFields() {
    std::lock_guard lock(m_mutex);
    m_assetWriter.reset();
    m_hasVideoInput = false;
    m_hasAudioInput = false;
    m_didRequestAudioMediaData = false;
    m_compositor.reset();
    m_writerStarted = false;
    m_firstVideoPTS.reset();
    m_videoFrameIndex = 0;
    m_audioFramePosition = 0;
    m_audioEndPosition.reset();
}

void ScreenRecorder::resetWriterState() {
    clearWriterFields();
    {
        std::lock_guard lock(m_mutex);
        m_isFinalizingRecording = false;
        m_pendingOutputURL.reset();
        m_expectedVideoSize.reset();
    }
    onMain([](ScreenRecorder& self) { self.completeStop(); });
}

}  // namespace recording
