// A 1920x1080 virtual display showing a moving pattern, recorded for 30 s with the sine
// microphone through the real recorder, and in the same run for 30 s by the ffmpeg command line
// (x11grab and pulse inputs, the same x264 settings). Run it through scripts/bench-capture.sh,
// which starts the virtual desktop.
//
//   capture_bench [--seconds 30]
#include "ScreenRecorder.h"

#include "platform/Log.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

extern "C" {
#include <libavformat/avformat.h>
}
#include <xcb/xcb.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "BenchSupport.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& message) {
    bench::fail("capture_bench", message);
}

using bench::cpuSeconds;

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// A full-screen window of its own connection that moves a bright box over a grid at 60 Hz.
class MovingPattern {
  public:
    MovingPattern() : m_thread([this] { run(); }) {}
    ~MovingPattern() {
        m_stop = true;
        m_thread.join();
    }
    double cpuSeconds() const { return m_cpu.load(); }

  private:
    void run() {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        const xcb_window_t window = xcb_generate_id(c);
        const std::uint32_t values[] = {0x202428, 1};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0,
                          screen->width_in_pixels, screen->height_in_pixels, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(c, window);
        const xcb_gcontext_t gc = xcb_generate_id(c);
        const std::uint32_t color = 0x2FBF71;
        xcb_create_gc(c, gc, window, XCB_GC_FOREGROUND, &color);
        for (int step = 0; !m_stop; ++step) {
            const auto start = threadCpuSeconds();
            xcb_clear_area(c, 0, window, 0, 0, 0, 0);
            const xcb_rectangle_t box{static_cast<std::int16_t>((step * 12) % 1700),
                                      static_cast<std::int16_t>(200 + (step * 5) % 600), 220, 160};
            xcb_poly_fill_rectangle(c, window, gc, 1, &box);
            for (int x = 0; x < 1920; x += 160) {
                const xcb_rectangle_t line{static_cast<std::int16_t>(x), 0, 1, 1080};
                xcb_poly_fill_rectangle(c, window, gc, 1, &line);
            }
            xcb_flush(c);
            m_cpu = m_cpu.load() + threadCpuSeconds() - start;
            std::this_thread::sleep_for(std::chrono::milliseconds(16));
        }
        xcb_disconnect(c);
    }

    std::atomic<bool> m_stop{false};
    std::atomic<double> m_cpu{0};
    std::thread m_thread;
};

struct Probe {
    std::int64_t videoFrames = 0;
    double videoSeconds = 0;
    double audioSeconds = 0;
};

Probe probe(const std::string& path) {
    Probe result;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) != 0) {
        fail("cannot open " + path);
    }
    avformat_find_stream_info(format, nullptr);
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* stream = format->streams[i];
        const double seconds = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            result.videoFrames = stream->nb_frames;
            result.videoSeconds = seconds;
        } else if (stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            result.audioSeconds = seconds;
        }
    }
    avformat_close_input(&format);
    return result;
}

// Runs the event loop for a while without spinning, as the application's own loop would.
void pump(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 30;
    if (argc == 3 && std::string(argv[1]) == "--seconds") {
        seconds = std::stoi(argv[2]);
    }
    // The microphone hears a 440 Hz tone played into the virtual output. (The virtual desktop's
    // sine_mic source renders two seconds ahead of real time, which no microphone does.)
    const char* sine = std::getenv("KORVANE_TEST_FAKE_MIC");
    if (!std::getenv("DISPLAY") || !sine) {
        fail("run through scripts/bench-capture.sh (it starts the virtual desktop)");
    }
    QCoreApplication app(argc, argv);
    const fs::path work =
        fs::temp_directory_path() / ("korvane-capture-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);
    platform::DefaultsStore defaults(QString::fromStdString((work / "bench.ini").string()));
    defaults.setString("SelectedMicrophoneKey", sine);
    MovingPattern pattern;
    std::system("pactl load-module module-sine sink=virt_out frequency=440 >/dev/null");

    auto environment = recording::RecorderEnvironment::desktop();
    environment.defaults = &defaults;
    environment.recordingsFolder = work.string();
    auto recorder = recording::ScreenRecorder::create(nullptr, environment);
    const auto displays = environment.windowServer->displays();
    if (displays.empty()) {
        fail("no display");
    }
    const auto display = displays.front();
    recorder->capture().applyPickerFilter({{}, {display}, display.frame});
    recorder->setSelectedMicrophoneName(QStringLiteral("Sine"));
    std::string path;
    QObject::connect(recorder.get(), &recording::ScreenRecorder::recordingFinalized,
                     [&] { path = defaults.string("currentVideoPath").value_or(""); });

    const double patternBefore = pattern.cpuSeconds();
    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    recorder->startRecording();
    QElapsedTimer waiting;
    waiting.start();
    while (!recorder->isRecording() && waiting.elapsed() < 10'000) {
        pump(5);
    }
    // Recording time runs from the first frame: stop once the timeline holds the wanted frames.
    while (recorder->video().stats().frameIndex < seconds * 30 &&
           waiting.elapsed() < 20'000 + seconds * 1000) {
        pump(4);
    }
    const auto dropped = recorder->video().stats().droppedFrameSlots;
    recorder->stopRecording();
    while (recorder->isRecording() && waiting.elapsed() < 60'000 + seconds * 1000) {
        pump(10);
    }
    const double ourCpu =
        cpuSeconds(RUSAGE_SELF) - cpuBefore - (pattern.cpuSeconds() - patternBefore);
    if (path.empty() || !fs::exists(path)) {
        fail("the recorder wrote no file");
    }
    const Probe ours = probe(path);

    std::ostringstream command;
    command << "ffmpeg -y -loglevel error -f x11grab -framerate 30 -video_size "
            << display.frame.width << "x" << display.frame.height << " -i "
            << std::getenv("DISPLAY") << " -f pulse -i " << sine << " -t " << seconds
            << " -c:v libx264 -preset veryfast -profile:v high -pix_fmt yuv420p -b:v 6000000 "
               "-maxrate 12000000"
            << " -bufsize 12000000 -g 60 -bf 0 -x264-params cabac=1:8x8dct=1 -c:a aac -b:a 128k "
               "-ac 1 -ar 48000 "
            << (work / "ffmpeg.mp4").string();
    const double childBefore = cpuSeconds(RUSAGE_CHILDREN);
    if (std::system(command.str().c_str()) != 0) {
        fail("ffmpeg failed: " + command.str());
    }
    const double peerCpu = cpuSeconds(RUSAGE_CHILDREN) - childBefore;
    const Probe peer = probe((work / "ffmpeg.mp4").string());

    std::printf("%d s of a %gx%g display with a moving pattern and the sine microphone\n", seconds,
                display.frame.width, display.frame.height);
    std::printf(
        "  cpu seconds per recorded second: Korvane %.3f, ffmpeg %.3f, ratio %.3f (target <= "
        "1.0)\n",
        ourCpu / ours.videoSeconds, peerCpu / peer.videoSeconds,
        (ourCpu / ours.videoSeconds) / (peerCpu / peer.videoSeconds));
    std::printf("  frames in our file: %lld over %.3f s (target %d +- 1)\n",
                static_cast<long long>(ours.videoFrames), ours.videoSeconds, seconds * 30);
    std::printf("  frame slots dropped by our tick: %llu (target 0)\n",
                static_cast<unsigned long long>(dropped));
    std::printf("  audio minus video duration: %+.1f ms (target under 33 ms)\n",
                (ours.audioSeconds - ours.videoSeconds) * 1000);
    fs::remove_all(work);
    return 0;
}
