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
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace app {

namespace {

constexpr std::array<int, 3> kQuitSignals{SIGTERM, SIGINT, SIGHUP};

std::atomic<int> g_signalPipe{-1};
// The first quit signal heard since the handlers were installed; 0 before.
std::atomic<int> g_firstSignal{0};

// Async-signal-safe, and safe while other threads hang holding the log.
void say(std::string_view text) {
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, text.data(), text.size());
}

void onQuitSignal(int signal) {
    const int saved = errno;
    int first = 0;
    if (!g_firstSignal.compare_exchange_strong(first, signal)) {
        // A logout sends more than one kind at once (the terminal closes, the session ends):
        // only the same one again means "now".
        if (first == signal) {
            say("Korvane: asked again to quit: ending now; the recording stays as far as it was "
                "written\n");
            ::_exit(EXIT_FAILURE);
        }
        say("Korvane: another quit signal; still quitting (the same one again ends at once)\n");
        errno = saved;
        return;
    }
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
    g_firstSignal = 0;
    for (std::size_t i = 0; i < kQuitSignals.size(); ++i) {
        struct sigaction previous {};
        ::sigaction(kQuitSignals[i], nullptr, &previous);
        // Started under nohup or as a background job, the process was told to outlive its
        // terminal and its Ctrl+C: that stands. SIGTERM is the system's own request.
        if (kQuitSignals[i] != SIGTERM && previous.sa_handler == SIG_IGN &&
            (previous.sa_flags & SA_SIGINFO) == 0) {
            continue;
        }
        watcher->m_previous[i] = previous;
        setHandler(kQuitSignals[i], &onQuitSignal);
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
    for (std::size_t i = 0; i < kQuitSignals.size(); ++i) {
        if (m_previous[i]) {
            ::sigaction(kQuitSignals[i], &*m_previous[i], nullptr);
        }
    }
    g_signalPipe = -1;
    delete m_notifier;
    ::close(m_readEnd);
    ::close(m_writeEnd);
}

void QuitSignals::drain() {
    unsigned char number = 0;
    while (::read(m_readEnd, &number, 1) == 1) {
        platform::logLine(std::string("Quit asked by the system: ") + ::strsignal(number));
        emit received(number);
    }
}

void endProcessAfter(std::chrono::milliseconds limit) {
    try {
        std::thread([limit] {
            std::this_thread::sleep_for(limit);
            say("Korvane: the quit did not end in time: ending now; the recording stays as far "
                "as it was written\n");
            ::_exit(EXIT_FAILURE);
        }).detach();
    } catch (const std::system_error& error) {
        platform::logLine(std::string("No time limit for the quit: ") + error.what());
    }
}

void finalizeRecordingOnExit(const std::shared_ptr<recording::ScreenRecorder>& recorder) {
    static const bool armed = std::atexit(&finalizeAtExit) == 0;
    if (armed) {
        g_exitRecorder = recorder;
    }
}

}  // namespace app
