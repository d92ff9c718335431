// Against the virtual desktop's PulseAudio (scripts/virtual-desktop.sh, started by
// scripts/test.sh).
#include "media/Fft.h"
#include "media/PulseAudioEngine.h"
#include "media/PulseDeviceDiscovery.h"
#include "platform/NotificationCenter.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include "Pump.h"
#include "Shell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <unistd.h>

using namespace std::chrono_literals;
using platform::PcmBuffer;
using platform::SampleType;

namespace {

const char* sineSource() {
    return std::getenv("KORVANE_TEST_SINE_SOURCE");
}
const char* fakeMic() {
    return std::getenv("KORVANE_TEST_FAKE_MIC");
}

#define REQUIRE_VIRTUAL_PULSE()                                                              \
    if (!std::getenv("PULSE_SERVER") || !std::getenv("XDG_RUNTIME_DIR") || !sineSource() ||  \
        !fakeMic())                                                                          \
    GTEST_SKIP()                                                                             \
        << "needs the virtual desktop's PulseAudio: run scripts/test.sh, or source the env " \
           "file written by scripts/virtual-desktop.sh start"

bool hasDevice(const std::vector<platform::CaptureDevice>& devices, const std::string& id) {
    return std::ranges::any_of(devices, [&](const auto& d) { return d.uniqueID == id; });
}

// What the tap saw, gathered on Pulse's thread: arrival times and the first float samples.
struct TapLog {
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> arrivals;
    std::vector<float> samples;
    int wrongLength = 0;

    platform::AudioEngine::TapBlock block() {
        arrivals.reserve(1000);
        samples.reserve(16384);
        return [this](const PcmBuffer& buffer) {
            std::lock_guard lock(mutex);
            arrivals.push_back(std::chrono::steady_clock::now());
            const bool exact = buffer.frameLength == 1024 &&
                               buffer.data.size() == 1024u * buffer.format.bytesPerFrame();
            wrongLength += exact ? 0 : 1;
            if (buffer.hasFloatData() && samples.size() < 16384) {
                samples.insert(samples.end(), buffer.floatData(),
                               buffer.floatData() + buffer.frameLength);
            }
        };
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return arrivals.size();
    }
};

bool waitForBuffers(TapLog& log, size_t count, int limitMs = 3000) {
    for (int i = 0; i < limitMs / 10 && log.count() < count; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    return log.count() >= count;
}

double dominantHz(const std::vector<float>& samples, double rate) {
    const auto magnitudes = platform::realFftMagnitudes(samples.data(), 8192);
    return double(std::ranges::max_element(magnitudes) - magnitudes.begin()) * rate / 8192;
}

// A tone played into a private null sink, heard on its monitor. Unlike sine_mic (a fixed 2 s
// latency source that posts 2 s at once) it follows the latency a stream asks for.
struct ToneSource {
    std::string sink = "korvane_tone_" + std::to_string(::getpid());
    std::string sinkModule =
        shellOutput("pactl load-module module-null-sink rate=48000 channels=1 sink_name=" + sink);
    std::string toneModule =
        shellOutput("pactl load-module module-sine frequency=440 sink=" + sink);
    std::string name() const { return sink + ".monitor"; }
    ~ToneSource() {
        shellOutput("pactl unload-module " + toneModule);
        shellOutput("pactl unload-module " + sinkModule);
    }
};

}  // namespace

TEST(PulseDeviceDiscoveryTest, ListsTheMicrophonesButNoMonitorAndKnowsTheDefault) {
    REQUIRE_VIRTUAL_PULSE();
    const auto discovery = platform::makePulseDeviceDiscovery();
    const auto devices = discovery->devices();
    EXPECT_TRUE(hasDevice(devices, sineSource()));
    ASSERT_TRUE(hasDevice(devices, fakeMic()));
    for (const auto& device : devices) {
        EXPECT_EQ(device.uniqueID.find(".monitor"), std::string::npos) << device.uniqueID;
        if (device.uniqueID == fakeMic()) {
            EXPECT_EQ(device.localizedName, "USB Fake Microphone");
            EXPECT_FALSE(device.isBuiltIn);
        }
    }
    ASSERT_TRUE(discovery->defaultDevice().has_value());
    EXPECT_EQ(discovery->defaultDevice()->uniqueID, sineSource());
}

TEST(PulseDeviceDiscoveryTest, APluggedSourceIsAnnouncedAndItsRemovalToo) {
    REQUIRE_VIRTUAL_PULSE();
    auto& center = platform::NotificationCenter::defaultCenter();
    std::vector<std::string> connected;
    std::vector<std::string> disconnected;
    const auto t1 =
        center.addObserver(platform::kCaptureDeviceWasConnected, [&](const QVariantMap& info) {
            connected.push_back(info.value("uniqueID").toString().toStdString());
        });
    const auto t2 =
        center.addObserver(platform::kCaptureDeviceWasDisconnected, [&](const QVariantMap& info) {
            disconnected.push_back(info.value("uniqueID").toString().toStdString());
        });
    const auto discovery = platform::makePulseDeviceDiscovery();
    // A new sink brings a monitor source first: that one is no microphone.
    const ToneSource tone;
    const std::string module = shellOutput(
        "pactl load-module module-sine-source source_name=hotplug_mic rate=48000 frequency=1000");
    ASSERT_FALSE(module.empty());
    EXPECT_TRUE(pumpUntil([&] { return std::ranges::count(connected, "hotplug_mic") > 0; }));
    EXPECT_TRUE(hasDevice(discovery->devices(), "hotplug_mic"));
    EXPECT_EQ(std::ranges::count(connected, tone.name()), 0);
    EXPECT_FALSE(hasDevice(discovery->devices(), tone.name()));
    shellOutput("pactl unload-module " + module);
    EXPECT_TRUE(pumpUntil([&] { return std::ranges::count(disconnected, "hotplug_mic") > 0; }));
    EXPECT_FALSE(hasDevice(discovery->devices(), "hotplug_mic"));
    center.removeObserver(t1);
    center.removeObserver(t2);
}

TEST(PulseAudioEngineTest, TheSineMicArrivesInExactBuffersOfItsOwnFormatAt440Hz) {
    REQUIRE_VIRTUAL_PULSE();
    auto engine = platform::makePulseAudioEngine(sineSource());
    EXPECT_EQ(engine->inputFormat(),
              (platform::AudioFormat{SampleType::float32, 48'000.0, 1, true}));
    TapLog log;
    engine->installTap(1024, log.block());
    ASSERT_TRUE(engine->start().has_value());
    EXPECT_TRUE(engine->isRunning());
    ASSERT_TRUE(waitForBuffers(log, 8));
    engine->stop();
    EXPECT_FALSE(engine->isRunning());

    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.wrongLength, 0);
    ASSERT_GE(log.samples.size(), 8192u);
    EXPECT_NEAR(dominantHz(log.samples, 48'000.0), 440.0, 6.0);
    EXPECT_GT(std::ranges::max(log.samples), 0.1f);  // sounding, not silence
}

TEST(PulseAudioEngineTest, AudioArrivesEvery21msNotInBursts) {
    REQUIRE_VIRTUAL_PULSE();
    ToneSource tone;
    ASSERT_FALSE(tone.toneModule.empty());
    auto engine = platform::makePulseAudioEngine(tone.name());
    EXPECT_EQ(engine->inputFormat().sampleType, SampleType::int16);
    TapLog log;
    engine->installTap(1024, log.block());
    ASSERT_TRUE(engine->start().has_value());
    // The null sink finishes the long block it was in before it follows our latency.
    ASSERT_TRUE(waitForBuffers(log, 1, 4000));
    std::this_thread::sleep_for(300ms);
    const auto from = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1s);
    const auto to = std::chrono::steady_clock::now();
    engine->stop();

    std::lock_guard lock(log.mutex);
    int inWindow = 0;
    auto previous = from;
    auto longestGap = 0ms;
    for (const auto arrival : log.arrivals) {
        if (arrival < from || arrival > to) {
            continue;
        }
        ++inWindow;
        longestGap = std::max(
            longestGap, std::chrono::duration_cast<std::chrono::milliseconds>(arrival - previous));
        previous = arrival;
    }
    longestGap =
        std::max(longestGap, std::chrono::duration_cast<std::chrono::milliseconds>(to - previous));
    EXPECT_GE(inWindow, 30);  // 47 a second at 48 kHz
    EXPECT_LE(inWindow, 70);
    EXPECT_LT(longestGap, 200ms) << "audio comes in bursts";
    EXPECT_EQ(log.wrongLength, 0);
}

TEST(PulseAudioEngineTest, NoTapCallsAfterRemoveTapOrStop) {
    REQUIRE_VIRTUAL_PULSE();
    // fake_mic is int16: the tap gets the source's own type.
    auto engine = platform::makePulseAudioEngine(fakeMic());
    EXPECT_EQ(engine->inputFormat().sampleType, SampleType::int16);
    TapLog first;
    engine->installTap(1024, first.block());
    ASSERT_TRUE(engine->start().has_value());
    ASSERT_TRUE(waitForBuffers(first, 3, 4000));  // its null sink may first finish a long block
    engine->removeTap();
    const size_t afterRemove = first.count();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(first.count(), afterRemove);
    EXPECT_TRUE(engine->isRunning());

    TapLog second;
    engine->installTap(1024, second.block());
    ASSERT_TRUE(waitForBuffers(second, 3));
    engine->stop();
    const size_t afterStop = second.count();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(second.count(), afterStop);
    EXPECT_EQ(second.wrongLength, 0);
}

TEST(PulseAudioEngineTest, AMissingSourceFailsToStartAndSaysWhich) {
    REQUIRE_VIRTUAL_PULSE();
    auto engine = platform::makePulseAudioEngine("no_such_source");
    EXPECT_EQ(engine->inputFormat(), platform::AudioFormat{});
    const auto started = engine->start();
    ASSERT_FALSE(started.has_value());
    EXPECT_NE(started.error().find("no_such_source not found"), std::string::npos)
        << started.error();
    EXPECT_FALSE(engine->isRunning());
}

TEST(PulseAudioTest, WithoutAServerThereAreNoDevicesAndStartSaysSo) {
    struct ServerOverride {
        const char* saved = std::getenv("PULSE_SERVER");
        std::string previous = saved ? saved : "";
        ServerOverride() { ::setenv("PULSE_SERVER", "unix:/nonexistent/korvane/pulse/native", 1); }
        ~ServerOverride() {
            saved ? ::setenv("PULSE_SERVER", previous.c_str(), 1) : ::unsetenv("PULSE_SERVER");
        }
    } noServer;
    const auto discovery = platform::makePulseDeviceDiscovery();
    EXPECT_TRUE(discovery->devices().empty());
    EXPECT_FALSE(discovery->defaultDevice().has_value());
    auto engine = platform::makePulseAudioEngine("");
    EXPECT_EQ(engine->inputFormat(), platform::AudioFormat{});
    const auto started = engine->start();
    ASSERT_FALSE(started.has_value());
    EXPECT_NE(started.error().find("no PulseAudio server"), std::string::npos) << started.error();
    engine->stop();
}
