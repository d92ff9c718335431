// The recorder's encode path (newest frame -> composited encoder frame -> H.264 -> MP4) at
// 1920x1080, driven as fast as it goes, against the ffmpeg command line encoding the same raw
// frames with the same x264 settings in the same run.
//
//   encode_bench [--seconds 60] [--memory-minutes 10] [--presets veryfast,faster,superfast]
#include "ScreenRecorder.h"

#include "media/FfmpegAssetWriter.h"
#include "platform/Log.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "BenchSupport.h"

namespace fs = std::filesystem;
using platform::MediaTime;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 30;
constexpr int kDistinctFrames = 60;

[[noreturn]] void fail(const std::string& message) {
    bench::fail("encode_bench", message);
}

using bench::cpuSeconds;

long statusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::stol(line.substr(field.size()));
        }
    }
    return -1;
}

long rssKiB() {
    return statusKiB("VmRSS:");
}

// A trading screen stand-in: a gradient, a grid and a box that moves every frame.
std::vector<std::shared_ptr<platform::PixelBuffer>> makeFrames() {
    std::vector<std::shared_ptr<platform::PixelBuffer>> frames;
    for (int f = 0; f < kDistinctFrames; ++f) {
        auto frame = platform::PixelBuffer::make(kWidth, kHeight);
        for (int y = 0; y < kHeight; ++y) {
            auto* row = frame->row(y);
            for (int x = 0; x < kWidth; ++x) {
                const bool grid = x % 120 == 0 || y % 90 == 0;
                const bool box = x >= 30 * f && x < 30 * f + 200 && y >= 400 && y < 600;
                row[4 * x + 0] = static_cast<std::uint8_t>(box    ? 40
                                                           : grid ? 200
                                                                  : (x * 255) / kWidth);
                row[4 * x + 1] = static_cast<std::uint8_t>(box    ? 220
                                                           : grid ? 200
                                                                  : (y * 255) / kHeight);
                row[4 * x + 2] = static_cast<std::uint8_t>(box ? 60 : grid ? 200 : 64 + f);
                row[4 * x + 3] = 255;
            }
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

struct Figures {
    double cpu = 0;
    double wall = 0;
    double rssGrowthMiB = 0;
};

Figures runRecorder(const std::vector<std::shared_ptr<platform::PixelBuffer>>& frames,
                    int totalFrames, const fs::path& output, int memoryCheckpointFrame) {
    recording::RecorderEnvironment environment;
    environment.writerFactory = &platform::makeFfmpegAssetWriter;
    environment.runsEncodeTimer = false;
    platform::DefaultsStore defaults(
        QString::fromStdString((output.parent_path() / "bench.ini").string()));
    environment.defaults = &defaults;
    auto recorder = recording::ScreenRecorder::create(nullptr, environment);
    recorder->setCapturesAudio(false);
    recorder->video().setPendingOutputURL(output.string());
    recorder->markRecordingStarted();

    Figures figures;
    long rssAtCheckpoint = 0;
    const double cpuStart = cpuSeconds(RUSAGE_SELF);
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < totalFrames; ++i) {
        platform::VideoSample sample;
        sample.imageBuffer = frames[static_cast<std::size_t>(i % kDistinctFrames)];
        sample.presentationTime = MediaTime(i, kFps);
        recorder->video().handleSample(sample);
        recorder->video().videoQueue().post([&recorder] { recorder->video().encodeTick(1); });
        if (i % 30 == 29) {
            recorder->video().videoQueue().sync(
                [] {});  // keep the queue short, like real time would
        }
        if (i == memoryCheckpointFrame) {
            recorder->video().videoQueue().sync([] {});
            rssAtCheckpoint = rssKiB();
            std::fprintf(stderr, "anon %ld KiB, file %ld KiB at the checkpoint\n",
                         statusKiB("RssAnon:"), statusKiB("RssFile:"));
        }
    }
    recorder->video().videoQueue().sync([] {});
    figures.cpu = cpuSeconds(RUSAGE_SELF) - cpuStart;
    figures.wall = wall.elapsed() / 1000.0;
    if (rssAtCheckpoint > 0) {
        figures.rssGrowthMiB = static_cast<double>(rssKiB() - rssAtCheckpoint) / 1024.0;
        std::fprintf(stderr, "anon %ld KiB, file %ld KiB at the end\n", statusKiB("RssAnon:"),
                     statusKiB("RssFile:"));
    }
    recorder->finishRecording();
    QElapsedTimer waiting;
    waiting.start();
    while (recorder->isRecording() && waiting.elapsed() < 60'000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    if (!fs::exists(output)) {
        fail("the recorder wrote no file");
    }
    return figures;
}

Figures runFfmpeg(const std::vector<std::shared_ptr<platform::PixelBuffer>>& frames,
                  int totalFrames, const std::string& preset, const fs::path& output) {
    std::ostringstream command;
    command << "ffmpeg -y -loglevel error -f rawvideo -pix_fmt bgra -s " << kWidth << "x" << kHeight
            << " -r " << kFps << " -i - -c:v libx264 -preset " << preset
            << " -profile:v high -pix_fmt yuv420p -b:v 6000000 -maxrate 12000000 -bufsize 12000000 "
               "-g 60 -bf 0"
            << " -x264-params cabac=1 -f mp4 " << output.string();
    const double cpuStart = cpuSeconds(RUSAGE_CHILDREN);
    QElapsedTimer wall;
    wall.start();
    FILE* pipe = ::popen(command.str().c_str(), "w");
    if (!pipe) {
        fail("cannot start ffmpeg");
    }
    for (int i = 0; i < totalFrames; ++i) {
        const auto& frame = *frames[static_cast<std::size_t>(i % kDistinctFrames)];
        std::fwrite(frame.bytes.data(), 1, frame.bytes.size(), pipe);
    }
    if (::pclose(pipe) != 0) {
        fail("ffmpeg failed");
    }
    return {cpuSeconds(RUSAGE_CHILDREN) - cpuStart, wall.elapsed() / 1000.0, 0};
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 60;
    int memoryMinutes = 10;
    std::string presets = "veryfast,faster,superfast";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--seconds") {
            seconds = std::stoi(argv[i + 1]);
        } else if (option == "--memory-minutes") {
            memoryMinutes = std::stoi(argv[i + 1]);
        } else if (option == "--presets") {
            presets = argv[i + 1];
        } else {
            fail("unknown option " + option);
        }
    }
    QCoreApplication app(argc, argv);
    platform::setLogSink([](std::string_view line) {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    });
    const fs::path work =
        fs::temp_directory_path() / ("korvane-encode-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const auto frames = makeFrames();
    const int totalFrames = seconds * kFps;

    std::printf("1920x1080 BGRA frames, %d s of timeline at %d fps, one run per preset\n", seconds,
                kFps);
    std::printf("%-10s %14s %14s %10s %12s\n", "preset", "ours cpu s/s", "ffmpeg cpu s/s", "ratio",
                "ours x real");
    std::stringstream list(presets);
    std::string preset;
    while (std::getline(list, preset, ',')) {
        ::setenv("KORVANE_X264_PRESET", preset.c_str(), 1);
        const auto ours = runRecorder(frames, totalFrames, work / ("ours-" + preset + ".mp4"), -1);
        const auto peer =
            runFfmpeg(frames, totalFrames, preset, work / ("ffmpeg-" + preset + ".mp4"));
        const auto oursSize = fs::file_size(work / ("ours-" + preset + ".mp4"));
        const auto peerSize = fs::file_size(work / ("ffmpeg-" + preset + ".mp4"));
        std::printf("%-10s %14.3f %14.3f %10.3f %11.1fx   (files %.1f / %.1f MB)\n", preset.c_str(),
                    ours.cpu / seconds, peer.cpu / seconds, ours.cpu / peer.cpu,
                    seconds / ours.wall, oursSize / 1e6, peerSize / 1e6);
        std::fflush(stdout);
    }
    if (memoryMinutes > 0) {
        const int frames10 = memoryMinutes * 60 * kFps;
        const auto long_run = runRecorder(frames, frames10, work / "memory.mp4", 60 * kFps);
        std::printf(
            "resident memory growth from minute 1 to minute %d of the timeline: %.1f MiB (target < "
            "20 MB)\n",
            memoryMinutes, long_run.rssGrowthMiB);
    }
    fs::remove_all(work);
    return 0;
}
