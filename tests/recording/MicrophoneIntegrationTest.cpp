// The whole microphone path for real: PulseAudio's sine sources through the engine, the
// sample-rate converter, gain and clip into the AAC track of a real MP4. Runs under the virtual
// desktop that scripts/test.sh starts, whose default source is the 440 Hz sine_mic.
#include "RecorderFakes.h"

#include "Await.h"
#include "MediaFile.h"
#include "Shell.h"

#include "media/FfmpegAssetWriter.h"
#include "media/Fft.h"
#include "media/PulseAudioEngine.h"
#include "media/PulseConnection.h"
#include "media/PulseDeviceDiscovery.h"
#include "media/SwrAudioConverter.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>

#include <unistd.h>

using platform::MediaTime;

namespace {

const char* sineSource() {
    return std::getenv("KORVANE_TEST_SINE_SOURCE");
}

#define REQUIRE_VIRTUAL_PULSE()                        \
    if (!sineSource() || !std::getenv("PULSE_SERVER")) \
    GTEST_SKIP() << "needs the PulseAudio of scripts/virtual-desktop.sh"

// A 1 kHz microphone of this test's own: unplugging it takes no other test's source away.
struct PrivateMicrophone {
    std::string name = "korvane_unplugged_" + std::to_string(::getpid());
    std::string module = shellOutput(
        "pactl load-module module-sine-source rate=48000 frequency=1000 source_name=" + name);
    void unplug() {
        if (!module.empty()) {
            shellOutput("pactl unload-module " + module);
            module.clear();
        }
    }
    ~PrivateMicrophone() { unplug(); }
};

// The recorder with the real engine, converter, device list and MP4 writer, the trader's choice
// stored as the picker stores it.
void useRealMicrophone(fakes::Rig& rig, const std::string& chosen) {
    auto environment = rig.environment();
    environment.writerFactory = &platform::makeFfmpegAssetWriter;
    environment.converterFactory = &platform::makeAudioConverter;
    environment.audioEngineFactory = &platform::makePulseAudioEngine;
    environment.deviceDiscovery = platform::makePulseDeviceDiscovery();
    rig.defaults->setString("SelectedMicrophoneKey", chosen);
    rig.recorder = recording::ScreenRecorder::create(nullptr, environment);
}

// Starts a take into <test home>/<name>; the microphone starts with its first frame.
std::string startTake(fakes::Rig& rig, const std::string& name) {
    const std::string path = std::string(std::getenv("KORVANE_TEST_HOME")) + "/" + name;
    rig.beginRecording(path);
    rig.recorder->setSelectedMicrophoneName(QStringLiteral("Chosen"));
    // Stamped like the screen capture's frames, on the clock the microphone's buffers carry.
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    rig.sendFrame(320, 240,
                  MediaTime(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(),
                            1'000'000'000));
    return path;
}

std::int64_t writtenFrames(fakes::Rig& rig) {
    return rig.recorder->audio().stats().framePosition;
}

// The virtual sources hand their audio over in blocks of up to two seconds, and what they heard
// before the picture began is left out however much of it was converted: waits until the file's
// own track holds `frames` (never ahead of the picture).
bool waitUntilWritten(fakes::Rig& rig, std::int64_t frames) {
    return pumpUntil([&] { return writtenFrames(rig) >= frames; }, 20000);
}

bool finish(fakes::Rig& rig) {
    rig.recorder->finishRecording();
    return pumpUntil([&] { return !rig.recorder->isRecording(); }, 20000);
}

struct Tone {
    double hz = 0;
    double rms = 0;
    float peak = 0;
};

Tone toneAt(const std::vector<float>& samples, std::size_t at, std::size_t window = 8192) {
    Tone tone;
    double sum = 0;
    for (std::size_t i = at; i < at + window; ++i) {
        sum += samples[i] * samples[i];
        tone.peak = std::max(tone.peak, std::abs(samples[i]));
    }
    tone.rms = std::sqrt(sum / static_cast<double>(window));
    const auto magnitudes =
        platform::realFftMagnitudes(samples.data() + at, static_cast<int>(window));
    const auto bin =
        std::max_element(magnitudes.begin() + 1, magnitudes.end()) - magnitudes.begin();
    tone.hz = static_cast<double>(bin) * 48000.0 / static_cast<double>(window);
    return tone;
}

bool isNear(double hz, double target) {
    return std::abs(hz - target) < 12.0;
}

bool sounds(const Tone& tone, double hz) {
    return tone.rms > 0.05 && isNear(tone.hz, hz);
}

// The frequencies heard from `from` on, one per half-overlapping window that sounds.
std::vector<double> tonesFrom(const std::vector<float>& samples, std::size_t from) {
    std::vector<double> heard;
    for (std::size_t at = from; at + 8192 <= samples.size(); at += 4096) {
        if (const Tone tone = toneAt(samples, at); tone.rms > 0.05) {
            heard.push_back(tone.hz);
        }
    }
    return heard;
}

std::size_t recordsFrom(const LogCapture& log, const std::string& source) {
    return std::ranges::count_if(
        log.linesStartingWith("Recording the microphone "),
        [&](const std::string& line) { return line.ends_with("(" + source + ")"); });
}

// Where the narration comes from once the server moved the capture, or the recorder took it.
std::size_t narrationFrom(const LogCapture& log, const std::string& source) {
    return recordsFrom(log, source) +
           log.linesStartingWith("The microphone now records from source " + source).size();
}

// Ends the recorder's capture as the server does when it gives up on a source; how many
// captures it ended.
int endNarrationCaptures() {
    using platform::pulse::Connection;
    auto connection = Connection::open("Korvane test", platform::pulse::kConnectTimeout);
    if (!connection) {
        return 0;
    }
    Connection::Lock lock(**connection);
    std::vector<std::uint32_t> narration;
    (*connection)
        ->finish(
            pa_context_get_source_output_info_list(
                (*connection)->context(),
                [](pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
                    const char* name =
                        info ? pa_proplist_gets(info->proplist, PA_PROP_MEDIA_NAME) : nullptr;
                    if (eol == 0 && name && std::string_view(name) == "Narration") {
                        static_cast<std::vector<std::uint32_t>*>(userdata)->push_back(info->index);
                    }
                },
                &narration),
            platform::pulse::kConnectTimeout);
    int ended = 0;
    for (const auto index : narration) {
        ended += (*connection)
                         ->finish(pa_context_kill_source_output((*connection)->context(), index,
                                                                nullptr, nullptr),
                                  platform::pulse::kConnectTimeout)
                     ? 1
                     : 0;
    }
    return ended;
}

std::string logged(const LogCapture& log) {
    std::string text;
    for (const auto& line : log.lines()) {
        text += line + "\n";
    }
    return text;
}

}  // namespace

TEST(MicrophoneIntegrationTest, ASineMicrophoneBecomesA440HzAacTrack) {
    REQUIRE_VIRTUAL_PULSE();
    fakes::Rig rig;
    useRealMicrophone(rig, sineSource());
    const std::string path = startTake(rig, "sine.mp4");
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->microphone().hasEngine(); }));
    ASSERT_TRUE(waitUntilWritten(rig, 3 * 48000 / 2));
    ASSERT_TRUE(finish(rig));

    MediaFile file(path);
    const AVStream* audio = file.stream(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->codecpar->sample_rate, 48000);
    EXPECT_EQ(audio->codecpar->ch_layout.nb_channels, 1);
    const auto samples = decodeAudio(file).samples;
    ASSERT_GT(samples.size(), 48000u);
    // Sound from before the picture is left out and the track ends with the picture, however
    // large the blocks the source delivers.
    const AVStream* video = file.stream(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(video);
    EXPECT_NEAR(audio->duration * av_q2d(audio->time_base),
                video->duration * av_q2d(video->time_base), 0.1);
    // The last half second is certainly narration (the start may be the gap before it).
    const Tone tone = toneAt(samples, samples.size() - 24000, 16384);
    EXPECT_GT(tone.rms, 0.05) << "the tone is heard";
    EXPECT_LE(tone.peak, 0.99f) << "never beyond the clip level (AAC adds a little)";
    EXPECT_NEAR(tone.hz, 440.0, 6.0);
}

namespace {

// The trader chose a microphone of the test's own, which the test then unplugs.
class MicrophoneUnpluggedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_VIRTUAL_PULSE();
        ASSERT_FALSE(unplugged.module.empty());
        useRealMicrophone(rig, unplugged.name);
    }
    PrivateMicrophone unplugged;
    LogCapture log;
    fakes::Rig rig;
};

}  // namespace

TEST_F(MicrophoneUnpluggedTest, BeforeStartTheNarrationComesFromTheDefaultInput) {
    unplugged.unplug();  // between choosing it and Start
    const std::string path = startTake(rig, "unplugged-before.mp4");
    QSignalSpy muted(rig.recorder.get(), &recording::ScreenRecorder::isMicrophoneMutedChanged);
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->microphone().hasEngine(); }));
    EXPECT_EQ(recordsFrom(log, sineSource()), 1u);
    ASSERT_TRUE(waitUntilWritten(rig, 2 * 48000));
    ASSERT_TRUE(finish(rig));

    MediaFile file(path);
    const auto heard = tonesFrom(decodeAudio(file).samples, 0);
    ASSERT_FALSE(heard.empty()) << "the narration is recorded";
    EXPECT_TRUE(std::ranges::all_of(heard, [](double hz) { return isNear(hz, 440.0); }));
    EXPECT_EQ(muted.count(), 0);
}

// Unplugged, the sound server moves the capture to the default input itself (PulseAudio 15 and
// later) or ends it; a capture the server ends must not leave silence under a live microphone.
TEST_F(MicrophoneUnpluggedTest, MidRecordingTheNarrationGoesOnFromTheDefaultInput) {
    const std::string path = startTake(rig, "unplugged-during.mp4");
    QSignalSpy muted(rig.recorder.get(), &recording::ScreenRecorder::isMicrophoneMutedChanged);
    ASSERT_TRUE(waitUntilWritten(rig, 3 * 48000 / 2));
    ASSERT_EQ(recordsFrom(log, unplugged.name), 1u);

    const auto unpluggedAt = static_cast<std::size_t>(writtenFrames(rig));
    unplugged.unplug();
    ASSERT_TRUE(pumpUntil([&] { return narrationFrom(log, sineSource()) > 0; })) << logged(log);
    // What the lost source had handed over still goes in; then the default input's own sound.
    ASSERT_TRUE(waitUntilWritten(rig, writtenFrames(rig) + 3 * 48000));

    const auto endedAt = writtenFrames(rig);
    const auto restarts = recordsFrom(log, sineSource());
    ASSERT_EQ(endNarrationCaptures(), 1) << "the server ends the capture";
    ASSERT_TRUE(pumpUntil([&] { return recordsFrom(log, sineSource()) > restarts; }))
        << logged(log);
    // A virtual source renders up to two seconds ahead: sound past that is the new capture's.
    const auto renderedAhead = 5 * 48000 / 2;
    ASSERT_TRUE(waitUntilWritten(rig, endedAt + renderedAhead + 48000));
    ASSERT_TRUE(finish(rig));

    MediaFile file(path);
    const auto samples = decodeAudio(file).samples;
    ASSERT_GT(samples.size(), static_cast<std::size_t>(endedAt + renderedAhead));
    const Tone before = toneAt(samples, unpluggedAt - 12288);
    EXPECT_TRUE(sounds(before, 1000.0)) << before.hz << " Hz before the unplug";
    EXPECT_TRUE(std::ranges::any_of(tonesFrom(samples, unpluggedAt), [](double hz) {
        return isNear(hz, 440.0);
    })) << "the default input is heard after the unplug";
    EXPECT_TRUE(std::ranges::any_of(tonesFrom(samples, endedAt + renderedAhead), [](double hz) {
        return isNear(hz, 440.0);
    })) << "and after the server ended the capture";
    EXPECT_EQ(muted.count(), 0);
}

namespace {

// A default input that hands its sound over as it comes, as a monitor does: a 700 Hz tone played
// into a sink of the test's own, heard through a microphone remapped from that sink's monitor. A
// loopback out of the monitor keeps the sink rendering in small blocks (alone it would render
// seconds ahead, and a capture joining it would hear nothing until its next block).
struct MonitorMicrophone {
    std::string tag = std::to_string(::getpid());
    std::string name = "korvane_monitor_mic_" + tag;
    std::vector<std::string> modules;
    std::string previousDefault = shellOutput("pactl get-default-source");
    MonitorMicrophone() {
        const std::string sink = "korvane_tone_" + tag;
        for (const std::string& arguments :
             {"module-null-sink rate=48000 sink_name=" + sink,
              "module-null-sink rate=48000 sink_name=korvane_drain_" + tag,
              "module-sine frequency=700 sink=" + sink,
              "module-loopback latency_msec=20 source=" + sink + ".monitor sink=korvane_drain_" +
                  tag,
              "module-remap-source channels=1 master=" + sink + ".monitor source_name=" + name}) {
            modules.push_back(shellOutput("pactl load-module " + arguments));
        }
        // Returns once the sink renders in small blocks and the microphone delivers.
        shellOutput("parec --raw --latency-msec=20 -d " + name +
                    " 2>/dev/null | head -c 4800 | wc -c");
        shellOutput("pactl set-default-source " + name);
    }
    ~MonitorMicrophone() {
        shellOutput("pactl set-default-source " + previousDefault);
        for (auto it = modules.rbegin(); it != modules.rend(); ++it) {
            shellOutput("pactl unload-module " + *it);
        }
    }
};

// The digital silence before the first sound, and the longest run of it after, in seconds.
std::pair<double, double> silences(const DecodedAudio& audio) {
    const auto first =
        std::ranges::find_if(audio.samples, [](float s) { return std::abs(s) > 0.05f; });
    double longest = 0;
    for (const auto& [from, to] : quietStretches(audio)) {
        longest = std::max(longest, to - from);
    }
    return {static_cast<double>(first - audio.samples.begin()) / audio.sampleRate, longest};
}

}  // namespace

// Narration lost where the chosen microphone gives way to a default input that delivers at once:
// no more than a fraction of a second of silence at the start or at the switch.
TEST(MicrophoneFallbackTest, TheDefaultInputTakesOverWithoutALongSilence) {
    REQUIRE_VIRTUAL_PULSE();
    PrivateMicrophone chosen;
    MonitorMicrophone monitor;
    LogCapture log;
    fakes::Rig rig;
    useRealMicrophone(rig, chosen.name);
    chosen.unplug();
    std::string path = startTake(rig, "fallback-at-start.mp4");
    ASSERT_TRUE(waitUntilWritten(rig, 48000));
    ASSERT_TRUE(finish(rig));
    ASSERT_EQ(recordsFrom(log, monitor.name), 1u) << logged(log);
    {
        MediaFile file(path);
        const auto [before, longest] = silences(decodeAudio(file));
        EXPECT_LE(before, 0.3) << "at the start";
        EXPECT_LE(longest, 0.3);
    }

    PrivateMicrophone next;  // chosen for the next take, unplugged during it
    useRealMicrophone(rig, next.name);
    path = startTake(rig, "fallback-mid-recording.mp4");
    ASSERT_TRUE(waitUntilWritten(rig, 48000));
    next.unplug();
    ASSERT_TRUE(pumpUntil([&] { return narrationFrom(log, monitor.name) > 1; })) << logged(log);
    ASSERT_TRUE(waitUntilWritten(rig, writtenFrames(rig) + 48000));
    ASSERT_TRUE(finish(rig));
    MediaFile file(path);
    EXPECT_LE(silences(decodeAudio(file)).second, 0.3) << "at the switch";
}
