#include "SilenceWatch.h"

#include "platform/AssignIfChanged.h"
#include "platform/MainQueue.h"

namespace recording {

std::shared_ptr<SilenceWatch> SilenceWatch::create(SilentDetector::Clock clock) {
    return std::shared_ptr<SilenceWatch>(new SilenceWatch(std::move(clock)));
}

SilenceWatch::SilenceWatch(SilentDetector::Clock clock)
    : m_clock(clock ? std::move(clock) : SilentDetector::Clock(&absoluteTimeNow)),
      m_detector(m_clock),
      m_queue(std::make_unique<platform::SerialQueue>("screen.recorder.audio.analysis")) {}

void SilenceWatch::shutdown() {
    m_queue->join();
}

void SilenceWatch::hear(const platform::PcmBuffer& buffer) {
    m_queue->post([weak = weak_from_this(), copy = buffer] {
        if (auto self = weak.lock()) {
            self->analyse(copy);
        }
    });
}

void SilenceWatch::analyse(const platform::PcmBuffer& buffer) {
    if (!buffer.hasFloatData() || buffer.frameLength <= 0) {
        return;
    }
    const float rms = rootMeanSquare(buffer.floatData(), buffer.frameLength);
    const float frequency = dominantFrequency(buffer.floatData(), buffer.frameLength,
                                              static_cast<float>(buffer.format.sampleRate));
    const double now = m_detector.now();
    if (frequency >= m_detector.frequencyThresholdHz || rms >= m_detector.rmsThreshold) {
        m_detector.setLastSpeechTime(now);
        updateLater(false);
        return;
    }
    updateLater(now - m_detector.lastSpeechTime() >= m_detector.silenceDuration);
}

void SilenceWatch::update(bool isSilent) {
    const double now = m_clock();
    if (isSilent) {
        if (now - m_lastReminderTime >= reminderInterval) {
            m_lastReminderTime = now;
            setShowReminder(true);
            setReminderToken(m_reminderToken + 1);
        }
        return;
    }
    setShowReminder(false);
    m_lastReminderTime = now;
}

void SilenceWatch::dismiss() {
    setShowReminder(false);
}

void SilenceWatch::microphoneStarted() {
    restartSilence();
    m_lastReminderTime = m_clock();
    dismissLater();
}

void SilenceWatch::microphoneStopped() {
    restartSilence();
    m_lastReminderTime = 0.0;
    setReminderToken(0);
    dismissLater();
}

void SilenceWatch::microphoneMuted() {
    restartSilence();
    dismissLater();
}

void SilenceWatch::restartSilence() {
    m_detector.setLastSpeechTime(m_detector.now());
}

void SilenceWatch::setShowReminder(bool value) {
    if (!platform::assignIfChanged(m_showReminder, value)) {
        return;
    }
    emit showReminderChanged();
}

void SilenceWatch::setReminderToken(int value) {
    if (!platform::assignIfChanged(m_reminderToken, value)) {
        return;
    }
    emit reminderTokenChanged();
}

void SilenceWatch::dismissLater() {
    platform::MainQueue::post([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->dismiss();
        }
    });
}

void SilenceWatch::updateLater(bool isSilent) {
    platform::MainQueue::post([weak = weak_from_this(), isSilent] {
        if (auto self = weak.lock()) {
            self->update(isSilent);
        }
    });
}

}  // namespace recording
