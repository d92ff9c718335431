#include "MicrophoneController.h"

#include "platform/AssignIfChanged.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"

#include <algorithm>

namespace recording {

std::shared_ptr<MicrophoneController> MicrophoneController::create(
    Devices devices, Recording recording, std::shared_ptr<AudioPipeline> audio,
    std::shared_ptr<SilenceWatch> silence) {
    std::shared_ptr<MicrophoneController> controller(new MicrophoneController(
        std::move(devices), std::move(recording), std::move(audio), std::move(silence)));
    controller->installObservers();
    return controller;
}

MicrophoneController::MicrophoneController(Devices devices, Recording recording,
                                           std::shared_ptr<AudioPipeline> audio,
                                           std::shared_ptr<SilenceWatch> silence)
    : m_devices(std::move(devices)),
      m_recording(std::move(recording)),
      m_audio(std::move(audio)),
      m_silence(std::move(silence)) {
    if (!m_devices.defaults) {
        m_devices.defaults = &platform::DefaultsStore::standard();
    }
}

MicrophoneController::~MicrophoneController() {
    auto& center = platform::NotificationCenter::defaultCenter();
    for (auto token : m_observers) {
        center.removeObserver(token);
    }
    releaseEngine();
}

void MicrophoneController::installObservers() {
    refreshAvailability();
    auto& center = platform::NotificationCenter::defaultCenter();
    auto refresh = [weak = weak_from_this()](const QVariantMap&) {
        if (auto self = weak.lock()) {
            self->refreshAvailability();
        }
    };
    for (const char* name :
         {platform::kCaptureDeviceWasConnected, platform::kCaptureDeviceWasDisconnected,
          platform::kApplicationDidBecomeActive}) {
        m_observers.push_back(center.addObserver(name, refresh));
    }
}

// --- change-only setters ---

#define KORVANE_SETTER(name, field, signal)             \
    void MicrophoneController::name(bool value) {       \
        if (!platform::assignIfChanged(field, value)) { \
            return;                                     \
        }                                               \
        emit signal();                                  \
    }

KORVANE_SETTER(setAuthorized, m_authorized, authorizedChanged)
KORVANE_SETTER(setAvailable, m_available, availableChanged)
KORVANE_SETTER(setSourceSelected, m_sourceSelected, sourceSelectedChanged)
#undef KORVANE_SETTER

void MicrophoneController::setMuted(bool value) {
    if (!platform::assignIfChanged(m_muted, value)) {
        return;
    }
    m_audio->setMuted(value);
    emit mutedChanged();
}

// --- permission and devices ---

platform::AuthorizationStatus MicrophoneController::authorizationStatus() const {
    return m_devices.authorization ? m_devices.authorization->status()
                                   : platform::AuthorizationStatus::authorized;
}

void MicrophoneController::refreshAvailability() {
    const bool authorized = authorizationStatus() == platform::AuthorizationStatus::authorized;
    const bool hasDevices = m_devices.discovery && !m_devices.discovery->devices().empty();
    setAuthorized(authorized);
    setAvailable(authorized && hasDevices);
    if (!(authorized && m_available)) {
        muteAndStop();
    }
}

void MicrophoneController::muteAndStop() {
    setMuted(true);
    if (m_recording.wantsMicrophone()) {
        stop(false);
    }
}

void MicrophoneController::requestAccess() {
    switch (authorizationStatus()) {
        case platform::AuthorizationStatus::notDetermined:
            m_devices.authorization->requestAccess([weak = weak_from_this()](bool granted) {
                if (auto self = weak.lock()) {
                    self->handleAccessResult(granted);
                }
            });
            break;
        case platform::AuthorizationStatus::denied:
        case platform::AuthorizationStatus::restricted:
            refreshAvailability();
            showAccessAlert();
            break;
        case platform::AuthorizationStatus::authorized:
            refreshAvailability();
            break;
    }
}

void MicrophoneController::handleAccessResult(bool granted) {
    platform::MainQueue::post([weak = weak_from_this(), granted] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        self->setAuthorized(granted);
        self->refreshAvailability();
        if (granted) {
            self->startIfRecording();
        }
    });
}

void MicrophoneController::showAccessAlert() {
    if (m_devices.settingsUi &&
        m_devices.settingsUi->runAccessAlert(
            "Microphone Access Needed",
            "Please allow microphone access in System Settings to record audio.",
            "Open System Settings", "Cancel")) {
        openPrivacySettings();
    }
}

void MicrophoneController::openPrivacySettings() {
    if (m_devices.settingsUi) {
        m_devices.settingsUi->openMicrophoneSettings();
    }
}

// --- the trader's choices ---

void MicrophoneController::setMutedByTrader(bool muted) {
    refreshAvailability();
    if (muted) {
        setMuted(true);
        m_silence->microphoneMuted();
        return;
    }
    if (m_authorized && m_available) {
        setMuted(false);
        if (m_recording.wantsMicrophone() && m_recording.isRecording()) {
            startOrMute();
        }
    } else {
        setMuted(true);
    }
}

void MicrophoneController::setSelectedName(std::optional<QString> name) {
    if (!platform::assignIfChanged(m_selectedName, std::move(name))) {
        return;
    }
    emit selectedNameChanged();
    syncSelection();
}

void MicrophoneController::syncSelection() {
    const bool selected = m_selectedName && !m_selectedName->isEmpty();
    setSourceSelected(selected);
    if (selected) {
        if (m_autoMutedDueToNoSelection) {
            m_autoMutedDueToNoSelection = false;
            setMuted(false);
        }
        startIfRecording();
        return;
    }
    if (!m_muted) {
        m_autoMutedDueToNoSelection = true;
        setMuted(true);
    }
    stop(false);
}

// --- the engine ---

void MicrophoneController::startIfRecording() {
    if (m_recording.isRecording() && m_recording.wantsMicrophone() && !m_muted) {
        startOrMute();
    }
}

bool MicrophoneController::mayStart() const {
    return m_recording.wantsMicrophone() && !m_muted && m_sourceSelected && m_authorized &&
           m_available && !(m_engine && m_engine->isRunning());
}

// The microphone the trader picked while it is there, then the system's default input: a
// microphone unplugged since it was chosen must not turn the narration into silence.
std::vector<platform::CaptureDevice> MicrophoneController::sourcesToTry() const {
    const std::string chosen =
        m_devices.defaults->string("SelectedMicrophoneKey").value_or(std::string());
    const auto devices = m_devices.discovery->devices();
    std::vector<platform::CaptureDevice> sources;
    if (const auto it = std::ranges::find(devices, chosen, &platform::CaptureDevice::uniqueID);
        it != devices.end()) {
        sources.push_back(*it);
    } else if (!chosen.empty()) {
        platform::logLine("The chosen microphone " + chosen + " is not there");
    }
    if (auto fallback = m_devices.discovery->defaultDevice();
        fallback && fallback->uniqueID != chosen) {
        sources.push_back(std::move(*fallback));
    }
    return sources;
}

std::expected<void, std::string> MicrophoneController::start() {
    refreshAvailability();
    if (!mayStart()) {
        return {};
    }
    std::string failure = "no microphone input";
    for (const auto& source : sourcesToTry()) {
        auto started = startFrom(source);
        if (started) {
            return {};
        }
        failure = started.error();
        platform::logLine("The microphone " + source.uniqueID + " did not start: " + failure);
    }
    return std::unexpected(failure);
}

void MicrophoneController::startOrMute() {
    if (auto started = start(); !started) {
        platform::logLine("No microphone records (" + started.error() + "): muted");
        muteAndStop();
    }
}

std::expected<void, std::string> MicrophoneController::startFrom(
    const platform::CaptureDevice& source) {
    auto engine = m_devices.engineFactory ? m_devices.engineFactory(source.uniqueID) : nullptr;
    if (!engine) {
        return std::unexpected(std::string("No audio engine"));
    }
    std::shared_ptr<platform::AudioConverter> converter =
        m_devices.converterFactory
            ? m_devices.converterFactory(engine->inputFormat(), AudioPipeline::targetFormat())
            : nullptr;
    if (!converter) {
        // Without one the tap's sound never reaches the track: another input, or the mute.
        platform::logLine("Failed to create AVAudioConverter");
        return std::unexpected(std::string("its sound cannot be converted to the track's format"));
    }
    m_audio->beginMicrophone(converter, engine->stampsCaptureTime());
    engine->installTap(tapBufferFrames, [weak = std::weak_ptr<AudioPipeline>(m_audio)](
                                            const platform::PcmBuffer& buffer) {
        if (auto audio = weak.lock()) {
            audio->handleTap(buffer);
        }
    });
    watchForLoss(*engine);
    if (auto started = engine->start(); !started) {
        engine->removeTap();
        return std::unexpected(started.error());
    }
    m_engine = std::move(engine);
    m_hasEngine = true;
    m_silence->microphoneStarted();
    platform::logLine("Recording the microphone \"" + source.localizedName + "\" (" +
                      source.uniqueID + ")");
    return {};
}

void MicrophoneController::watchForLoss(platform::AudioEngine& engine) {
    engine.setLossHandler(
        [weak = weak_from_this(), generation = ++m_engineGeneration](const std::string& reason) {
            platform::MainQueue::post([weak, generation, reason] {
                if (auto self = weak.lock()) {
                    self->engineLost(generation, reason);
                }
            });
        });
}

// The device went away under a running recording: the narration goes on from another input at
// once, or the bar shows the microphone muted.
void MicrophoneController::engineLost(std::uint64_t generation, const std::string& reason) {
    if (generation != m_engineGeneration || !m_engine) {
        return;  // stopped or replaced meanwhile
    }
    platform::logLine("The microphone was lost: " + reason);
    stop(false);
    refreshAvailability();
    startIfRecording();
}

void MicrophoneController::releaseEngine() {
    if (!m_engine) {
        return;
    }
    m_engine->removeTap();
    m_engine->stop();
    m_engine.reset();
    m_hasEngine = false;
}

void MicrophoneController::stop(bool resetPipeline) {
    releaseEngine();
    if (resetPipeline) {
        m_audio->reset();
    }
    m_silence->microphoneStopped();
}

}  // namespace recording
