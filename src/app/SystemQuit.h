#pragma once

#include <QObject>

#include "ScreenRecorder.h"

#include <array>
#include <chrono>
#include <csignal>
#include <expected>
#include <memory>
#include <optional>
#include <string>

class QSocketNotifier;

namespace app {

// SIGTERM, SIGINT and SIGHUP (logout and shutdown, Ctrl+C, a closed terminal), heard on the main
// thread. The handler itself only writes the signal's number to a pipe, the one thing that is
// safe there; a socket notifier on the main thread reads it and says `received`. SIGINT and
// SIGHUP that the process was started ignoring (nohup, a background job) stay ignored. The same
// signal again, once a quit is under way, ends the process at once: whoever sent it would
// rather lose the end of the recording than wait.
class QuitSignals : public QObject {
    Q_OBJECT

  public:
    // One at a time per process: the handlers write to this object's pipe.
    static std::expected<std::unique_ptr<QuitSignals>, std::string> install();
    // Gives the signals back the actions they had before.
    ~QuitSignals() override;

  signals:
    void received(int signal);

  private:
    QuitSignals(int readEnd, int writeEnd);
    void drain();

    int m_readEnd;
    int m_writeEnd;
    QSocketNotifier* m_notifier;
    // What each signal did before, for the ones this object handles.
    std::array<std::optional<struct sigaction>, 3> m_previous;
};

// Ends the process with a failure status after `limit`, whatever its threads are doing: a quit
// the system asked for must not hang on a finalization that never returns. The file stays as
// far as it was written. Once per process; nothing cancels it.
void endProcessAfter(std::chrono::milliseconds limit);

// When the process exits without the event loop ending (Qt's X11 connection breaks and it calls
// exit), the recording that runs is finalized on the way out, so the file keeps what was
// recorded. Armed at the first recording: what the finalization uses exists by then, and
// so is still there when the exit handlers run. Main thread.
void finalizeRecordingOnExit(const std::shared_ptr<recording::ScreenRecorder>& recorder);

}  // namespace app
