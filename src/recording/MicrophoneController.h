#pragma once

// Qt first: moc parses the standard headers that the project headers pull in only after Qt's.
#include <QObject>

#include "AudioPipeline.h"
#include "SilenceWatch.h"

#include "platform/AudioEngine.h"
#include "platform/CaptureDeviceDiscovery.h"
#include "platform/DefaultsStore.h"
#include "platform/NotificationCenter.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace recording {

// The microphone as the trader sees it: permission, whether one is there, the chosen one, mute;
// and its engine, started into a running recording and stopped with it. Main thread.
class MicrophoneController : public QObject,
                             public std::enable_shared_from_this<MicrophoneController> {
    Q_OBJECT

  public:
    using ConverterFactory = std::function<std::unique_ptr<platform::AudioConverter>(
        const platform::AudioFormat&, const platform::AudioFormat&)>;
    struct Devices {
        platform::AudioEngineFactory engineFactory;
        ConverterFactory converterFactory;
        std::shared_ptr<platform::CaptureDeviceDiscovery> discovery;
        std::shared_ptr<platform::MicrophoneAuthorization> authorization;
        std::shared_ptr<platform::MicrophoneSettingsUi> settingsUi;  // may be null: no alert
        platform::DefaultsStore* defaults = nullptr;
    };
    // What the recorder decides: whether its recordings take the microphone, and whether one
    // runs now.
    struct Recording {
        std::function<bool()> wantsMicrophone;
        std::function<bool()> isRecording;
    };
    static constexpr int tapBufferFrames = 1024;

    // Watches hot-plug and activation, and reads availability once.
    static std::shared_ptr<MicrophoneController> create(Devices devices, Recording recording,
                                                        std::shared_ptr<AudioPipeline> audio,
                                                        std::shared_ptr<SilenceWatch> silence);
    ~MicrophoneController() override;

    bool isMuted() const { return m_muted; }
    bool isAuthorized() const { return m_authorized; }
    bool isAvailable() const { return m_available; }
    bool isSourceSelected() const { return m_sourceSelected; }
    const std::optional<QString>& selectedName() const { return m_selectedName; }
    bool autoMutedDueToNoSelection() const { return m_autoMutedDueToNoSelection; }
    bool hasEngine() const { return m_hasEngine; }  // any thread
    const Devices& devices() const { return m_devices; }

    void refreshAvailability();
    void requestAccess();
    void handleAccessResult(bool granted);  // any thread
    void showAccessAlert();
    void openPrivacySettings();
    void setMutedByTrader(bool muted);
    void setSelectedName(std::optional<QString> name);
    void syncSelection();
    // Mutes without a selection change (the content choice was cleared).
    void mute() { setMuted(true); }

    // Starts the engine when the recording, the trader's choices and the device allow it: from
    // the chosen microphone, or from the default input when the chosen one is not there. The
    // error says that no input would start.
    std::expected<void, std::string> start();
    // start(), muting when no input starts: the bar never shows a live microphone over silence.
    void startOrMute();
    // Stops the engine; with resetPipeline, what was not yet written is dropped too.
    void stop(bool resetPipeline);
    // Starts it if a recording runs and the trader has not muted.
    void startIfRecording();

  signals:
    void mutedChanged();
    void authorizedChanged();
    void availableChanged();
    void selectedNameChanged();
    void sourceSelectedChanged();

  private:
    MicrophoneController(Devices devices, Recording recording, std::shared_ptr<AudioPipeline> audio,
                         std::shared_ptr<SilenceWatch> silence);
    void installObservers();
    bool mayStart() const;
    std::vector<platform::CaptureDevice> sourcesToTry() const;
    std::expected<void, std::string> startFrom(const platform::CaptureDevice& source);
    void watchForLoss(platform::AudioEngine& engine);
    void engineLost(std::uint64_t generation, const std::string& reason);
    void releaseEngine();
    void muteAndStop();
    void setMuted(bool value);
    void setAuthorized(bool value);
    void setAvailable(bool value);
    void setSourceSelected(bool value);
    platform::AuthorizationStatus authorizationStatus() const;

    Devices m_devices;
    Recording m_recording;
    std::shared_ptr<AudioPipeline> m_audio;
    std::shared_ptr<SilenceWatch> m_silence;
    std::unique_ptr<platform::AudioEngine> m_engine;
    std::uint64_t m_engineGeneration = 0;  // tells a lost engine from the one that replaced it
    std::atomic<bool> m_hasEngine{false};
    std::atomic<bool> m_muted{false};
    bool m_authorized = true;
    bool m_available = true;
    bool m_sourceSelected = false;
    std::optional<QString> m_selectedName;
    bool m_autoMutedDueToNoSelection = false;
    std::vector<platform::NotificationCenter::Token> m_observers;
};

}  // namespace recording
