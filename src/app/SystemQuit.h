#pragma once

#include <QObject>

#include "ScreenRecorder.h"

#include <expected>
#include <memory>
#include <string>

class QSocketNotifier;

namespace app {

// SIGTERM, SIGINT and SIGHUP (logout and shutdown, Ctrl+C, a closed terminal), heard on the main
// thread. The handler itself only writes the signal's number to a pipe, the one thing that is
// safe there; a socket notifier on the main thread reads it and says `received`.
class QuitSignals : public QObject {
    Q_OBJECT

  public:
    // One at a time per process: the handlers write to this object's pipe.
    static std::expected<std::unique_ptr<QuitSignals>, std::string> install();
    // Gives the signals back to their default action.
    ~QuitSignals() override;

  signals:
    void received(int signal);

  private:
    QuitSignals(int readEnd, int writeEnd);
    void drain();

    int m_readEnd;
    int m_writeEnd;
    QSocketNotifier* m_notifier;
};

// When the process exits without the event loop ending (Qt's X11 connection breaks and it calls
// exit), the recording that runs is finalized on the way out, so the file keeps what was
// recorded. Armed at the first recording: what the finalization uses exists by then, and
// so is still there when the exit handlers run. Main thread.
void finalizeRecordingOnExit(const std::shared_ptr<recording::ScreenRecorder>& recorder);

}  // namespace app
