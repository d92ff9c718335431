// The virtual display recorded for 30 s through the real recorder and, in the same run, by the
// ffmpeg command line (x11grab) and, for the trading desk, by GStreamer (ximagesrc with
// use-damage), all with the same x264 settings. Two workloads:
//   motion   a moving pattern over the whole display, with the sine microphone (ffmpeg records
//            the same source through its pulse input)
//   trading  the korvane-trading-screen program: a still desk with three panels redrawn at 2, 5
//            and 10 Hz and a scrolling ticker; video only, for all three
// The CPU figures include the X server's share, read from /proc for the server the virtual
// desktop started, over each recorder's own run. Run it through scripts/bench-capture.sh, which
// starts the virtual desktop (KORVANE_VD_SIZE=3840x2160 for a 4K one).
//
//   capture_bench [--seconds 30] [--workload motion|trading] [--ours-only]
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
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
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

// The X server of the private virtual desktop: every recorder here makes it copy pixels.
class XServerClock {
  public:
    XServerClock() {
        const char* dir = std::getenv("KORVANE_VD_DIR");
        std::ifstream pids(std::string(dir ? dir : "") + "/pids");
        std::string name;
        long pid = 0;
        while (pids >> name >> pid) {
            if (name == "xvfb") {
                m_stat = "/proc/" + std::to_string(pid) + "/stat";
            }
        }
        if (m_stat.empty()) {
            fail("cannot find the virtual desktop's X server (KORVANE_VD_DIR/pids)");
        }
    }
    double cpuSeconds() const {
        std::ifstream in(m_stat);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // Fields after the command name, which ends with the last ')': state is field 3,
        // utime and stime are fields 14 and 15.
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        double ticks = 0;
        for (int index = 3; fields >> field && index <= 15; ++index) {
            if (index >= 14) {
                ticks += std::stod(field);
            }
        }
        return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

  private:
    std::string m_stat;
};

long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

// The desk program, as a child of ours: reaped at the end, after every peer was measured.
class TradingDesk {
  public:
    TradingDesk() {
        m_pid = ::fork();
        if (m_pid == 0) {
            ::execl(KORVANE_TRADING_SCREEN_PATH, "korvane-trading-screen", nullptr);
            ::_exit(127);
        }
        if (m_pid < 0) {
            fail("cannot start the trading screen");
        }
    }
    ~TradingDesk() {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }

  private:
    pid_t m_pid = -1;
};

struct Run {
    const char* name;
    double cpu = 0;     // the recorder's own
    double server = 0;  // the X server's over the same span
    Probe file;
    double perSecond() const { return (cpu + server) / file.videoSeconds; }
};

// Runs a peer's command line and measures it as a waited-for child.
Run runPeer(const char* name, const std::string& command, const std::string& output,
            const XServerClock& server) {
    Run run{name};
    const double childBefore = cpuSeconds(RUSAGE_CHILDREN);
    const double serverBefore = server.cpuSeconds();
    if (std::system(command.c_str()) != 0) {
        fail(std::string(name) + " failed: " + command);
    }
    run.server = server.cpuSeconds() - serverBefore;
    run.cpu = cpuSeconds(RUSAGE_CHILDREN) - childBefore;
    run.file = probe(output);
    return run;
}

// The x264 settings the writer uses, for ffmpeg's libx264.
constexpr const char* kFfmpegX264 =
    " -c:v libx264 -preset veryfast -profile:v high -pix_fmt yuv420p -b:v 6000000 -maxrate "
    "12000000 -bufsize 12000000 -g 60 -bf 0 -x264-params cabac=1:8x8dct=1";

}  // namespace

int main(int argc, char** argv) {
    int seconds = 30;
    std::string workload = "motion";
    bool oursOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::stoi(argv[++i]);
        } else if (arg == "--workload" && i + 1 < argc) {
            workload = argv[++i];
        } else if (arg == "--ours-only") {
            oursOnly = true;
        } else {
            fail("usage: capture_bench [--seconds N] [--workload motion|trading] [--ours-only]");
        }
    }
    const bool trading = workload == "trading";
    if (!trading && workload != "motion") {
        fail("unknown workload " + workload);
    }
    // The microphone hears a 440 Hz tone played into the virtual output. (The virtual desktop's
    // sine_mic source renders two seconds ahead of real time, which no microphone does.)
    const char* sine = std::getenv("KORVANE_TEST_FAKE_MIC");
    if (!std::getenv("DISPLAY") || !sine) {
        fail("run through scripts/bench-capture.sh (it starts the virtual desktop)");
    }
    const XServerClock server;
    QCoreApplication app(argc, argv);
    const fs::path work =
        fs::temp_directory_path() / ("korvane-capture-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);
    platform::DefaultsStore defaults(QString::fromStdString((work / "bench.ini").string()));
    defaults.setString("SelectedMicrophoneKey", sine);
    std::optional<MovingPattern> pattern;
    std::optional<TradingDesk> desk;
    if (trading) {
        desk.emplace();
    } else {
        pattern.emplace();
        std::system("pactl load-module module-sine sink=virt_out frequency=440 >/dev/null");
    }
    const auto patternCpu = [&] { return pattern ? pattern->cpuSeconds() : 0.0; };

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
    if (trading) {
        recorder->setCapturesAudio(false);
    } else {
        recorder->setSelectedMicrophoneName(QStringLiteral("Sine"));
    }
    std::string path;
    QObject::connect(recorder.get(), &recording::ScreenRecorder::recordingFinalized,
                     [&] { path = defaults.string("currentVideoPath").value_or(""); });
    // Let the desk come up before anything records it.
    pump(500);

    Run ours{"Korvane"};
    const double patternBefore = patternCpu();
    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    const double serverBefore = server.cpuSeconds();
    recorder->startRecording();
    QElapsedTimer waiting;
    waiting.start();
    while (!recorder->isRecording() && waiting.elapsed() < 10'000) {
        pump(5);
    }
    // Resident size once the pools and the encoder are warm, against the end.
    long residentWarm = 0;
    // Recording time runs from the first frame: stop once the timeline holds the wanted frames.
    while (recorder->video().stats().frameIndex < seconds * 30 &&
           waiting.elapsed() < 20'000 + seconds * 1000) {
        pump(4);
        if (residentWarm == 0 && recorder->video().stats().frameIndex >= 5 * 30) {
            residentWarm = residentKilobytes();
        }
    }
    const long residentEnd = residentKilobytes();
    const auto dropped = recorder->video().stats().droppedFrameSlots;
    recorder->stopRecording();
    while (recorder->isRecording() && waiting.elapsed() < 60'000 + seconds * 1000) {
        pump(10);
    }
    ours.server = server.cpuSeconds() - serverBefore;
    ours.cpu = cpuSeconds(RUSAGE_SELF) - cpuBefore - (patternCpu() - patternBefore);
    if (path.empty() || !fs::exists(path)) {
        fail("the recorder wrote no file");
    }
    ours.file = probe(path);

    std::vector<Run> peers;
    if (!oursOnly) {
        const std::string size = std::to_string(static_cast<int>(display.frame.width)) + "x" +
                                 std::to_string(static_cast<int>(display.frame.height));
        std::ostringstream ffmpeg;
        ffmpeg << "ffmpeg -y -loglevel error -f x11grab -framerate 30 -video_size " << size
               << " -i " << std::getenv("DISPLAY");
        if (!trading) {
            ffmpeg << " -f pulse -i " << sine;
        }
        ffmpeg << " -t " << seconds << kFfmpegX264;
        if (!trading) {
            ffmpeg << " -c:a aac -b:a 128k -ac 1 -ar 48000";
        }
        ffmpeg << " " << (work / "ffmpeg.mp4").string();
        peers.push_back(
            runPeer("ffmpeg x11grab", ffmpeg.str(), (work / "ffmpeg.mp4").string(), server));
        if (trading) {
            // x264enc in the writer's terms: average rate with a two-second VBV at twice it.
            std::ostringstream gst;
            gst << "gst-launch-1.0 -q -e ximagesrc display-name=" << std::getenv("DISPLAY")
                << " use-damage=true show-pointer=true num-buffers=" << seconds * 30
                << " ! video/x-raw,framerate=30/1 ! videoconvert ! video/x-raw,format=I420"
                << " ! x264enc speed-preset=veryfast bitrate=6000 key-int-max=60 bframes=0"
                << " cabac=true threads=0 option-string=vbv-maxrate=12000:vbv-bufsize=12000"
                << ":8x8dct=1 ! video/x-h264,profile=high ! mp4mux ! filesink"
                << " location=" << (work / "gst.mp4").string() << " >/dev/null";
            peers.push_back(
                runPeer("GStreamer ximagesrc", gst.str(), (work / "gst.mp4").string(), server));
        }
    }

    std::printf("%d s of a %gx%g display: %s\n", seconds, display.frame.width, display.frame.height,
                trading ? "trading desk (panels at 2, 5, 10 Hz, ticker), no audio"
                        : "moving pattern and the sine microphone");
    std::printf("  %-20s %8s %8s %8s %8s %7s\n", "", "cpu s/s", "own", "X server", "frames",
                "dropped");
    const auto row = [](const Run& run, const std::string& dropped) {
        std::printf("  %-20s %8.3f %8.3f %8.3f %8lld %7s\n", run.name, run.perSecond(),
                    run.cpu / run.file.videoSeconds, run.server / run.file.videoSeconds,
                    static_cast<long long>(run.file.videoFrames), dropped.c_str());
    };
    row(ours, std::to_string(dropped));
    for (const Run& peer : peers) {
        row(peer, "-");
    }
    for (const Run& peer : peers) {
        std::printf("  ratio Korvane / %s: %.3f (own cpu only: %.3f)\n", peer.name,
                    ours.perSecond() / peer.perSecond(),
                    (ours.cpu / ours.file.videoSeconds) / (peer.cpu / peer.file.videoSeconds));
    }
    std::printf("  frames in our file: %lld over %.3f s (target %d +- 1); dropped slots %llu\n",
                static_cast<long long>(ours.file.videoFrames), ours.file.videoSeconds, seconds * 30,
                static_cast<unsigned long long>(dropped));
    if (!trading) {
        std::printf("  audio minus video duration: %+.1f ms (target under 33 ms)\n",
                    (ours.file.audioSeconds - ours.file.videoSeconds) * 1000);
    }
    std::printf("  resident growth from 5 s to the end: %+.1f MB\n",
                (residentEnd - residentWarm) / 1024.0);
    fs::remove_all(work);
    return 0;
}
