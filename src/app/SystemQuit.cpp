#include "SystemQuit.h"

#include "platform/Log.h"
#include "platform/MainQueue.h"

#include <QSocketNotifier>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace app {

namespace {

constexpr std::array<int, 3> kQuitSignals{SIGTERM, SIGINT, SIGHUP};

std::atomic<int> g_signalPipe{-1};

void onQuitSignal(int signal) {
    const int saved = errno;
    const auto number = static_cast<unsigned char>(signal);
    // A full pipe already holds a quit request: losing this one changes nothing.
    [[maybe_unused]] const auto written = ::write(g_signalPipe.load(), &number, 1);
    errno = saved;
}

void setHandler(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, nullptr);
}

// The exit handler's recorder; only the main thread touches it.
std::weak_ptr<recording::ScreenRecorder> g_exitRecorder;

void finalizeAtExit() {
    // The recorder's main-thread state may only be touched from there; an exit called on
    // another thread leaves the file as it is.
    if (!platform::MainQueue::isMainThread()) {
        return;
    }
    auto recorder = g_exitRecorder.lock();
    if (!recorder || !recorder->isRecording()) {
        return;
    }
    platform::logLine("Exiting while recording: finishing the file");
    if (!recorder->finalizeBeforeExit(std::chrono::seconds(3))) {
        platform::logLine("The recording could not be finished before the exit");
    }
}

}  // namespace

std::expected<std::unique_ptr<QuitSignals>, std::string> QuitSignals::install() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return std::unexpected(std::string("No pipe for the quit signals: ") +
                               std::strerror(errno));
    }
    std::unique_ptr<QuitSignals> watcher(new QuitSignals(ends[0], ends[1]));
    g_signalPipe = ends[1];
    for (const int signal : kQuitSignals) {
        setHandler(signal, &onQuitSignal);
    }
    return watcher;
}

QuitSignals::QuitSignals(int readEnd, int writeEnd)
    : m_readEnd(readEnd),
      m_writeEnd(writeEnd),
      m_notifier(new QSocketNotifier(readEnd, QSocketNotifier::Read, this)) {
    connect(m_notifier, &QSocketNotifier::activated, this, &QuitSignals::drain);
}

QuitSignals::~QuitSignals() {
    for (const int signal : kQuitSignals) {
        setHandler(signal, SIG_DFL);
    }
    g_signalPipe = -1;
    delete m_notifier;
    ::close(m_readEnd);
    ::close(m_writeEnd);
}

void QuitSignals::drain() {
    unsigned char number = 0;
    while (::read(m_readEnd, &number, 1) == 1) {
        emit received(number);
    }
}

void finalizeRecordingOnExit(const std::shared_ptr<recording::ScreenRecorder>& recorder) {
    static const bool armed = std::atexit(&finalizeAtExit) == 0;
    if (armed) {
        g_exitRecorder = recorder;
    }
}

}  // namespace app
