#pragma once

#include "SilentDetector.h"

#include "platform/AudioTypes.h"
#include "platform/SerialQueue.h"

#include <QObject>

#include <memory>

namespace recording {

// Listens to the narration for long silence and decides when to remind the trader to think out
// loud: at most one reminder a minute, hidden again once speech is heard. The analysis runs on
// its own queue; the reminder state belongs to the main thread.
class SilenceWatch : public QObject, public std::enable_shared_from_this<SilenceWatch> {
    Q_OBJECT

  public:
    static constexpr double reminderInterval = 60.0;

    static std::shared_ptr<SilenceWatch> create(SilentDetector::Clock clock);
    // Joins the analysis queue; nothing of the watch runs on it afterwards.
    void shutdown();

    // Any thread: the buffer is analysed on the analysis queue.
    void hear(const platform::PcmBuffer& buffer);
    // Analysis queue.
    void analyse(const platform::PcmBuffer& buffer);
    // Main thread: what the analysis found.
    void update(bool isSilent);
    void dismiss();
    // Main thread: a microphone started or stopped; silence is counted from now.
    void microphoneStarted();
    void microphoneStopped();
    // Main thread: the trader muted; muting is not silence, and a reminder goes.
    void microphoneMuted();

    bool showReminder() const { return m_showReminder; }
    int reminderToken() const { return m_reminderToken; }
    SilentDetector& detector() { return m_detector; }
    platform::SerialQueue& queue() { return *m_queue; }

  signals:
    void showReminderChanged();
    void reminderTokenChanged();

  private:
    explicit SilenceWatch(SilentDetector::Clock clock);
    void restartSilence();
    void setShowReminder(bool value);
    void setReminderToken(int value);
    // Runs on the main thread if the watch still exists by then.
    void dismissLater();
    void updateLater(bool isSilent);

    SilentDetector::Clock m_clock;
    SilentDetector m_detector;
    double m_lastReminderTime = 0.0;  // main thread
    bool m_showReminder = false;
    int m_reminderToken = 0;
    std::unique_ptr<platform::SerialQueue> m_queue;
};

}  // namespace recording
