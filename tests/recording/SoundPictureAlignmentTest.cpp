// Sound against picture in a real recording: the real recorder captures a window of the virtual
// desktop and a microphone of its PulseAudio, while the test marks known moments on the steady
// clock in both: the window changes colour and, at the same moment, a beep is played into the
// virtual output (fake_mic hears it) or the microphone is muted or unmuted (sine_mic, whose tone
// cannot be fed). In the file, each mark in the sound must sit where the picture shows its
// colour change: no more than 45 ms early and no more than 125 ms late. The offsets are printed
// ("alignment <source> take <n> offset_ms <value>") for runs that gather their spread.
#include "RecorderFakes.h"

#include "MediaFile.h"
#include "X11TestDesktop.h"

#include "media/FfmpegAssetWriter.h"
#include "media/PulseAudioEngine.h"
#include "media/PulseDeviceDiscovery.h"
#include "media/SwrAudioConverter.h"
#include "x11/X11BorderOverlay.h"
#include "x11/X11CaptureStream.h"
#include "x11/X11WindowServer.h"

#include <gtest/gtest.h>
#include <pulse/pulseaudio.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <numbers>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kEarliest = -0.045;
constexpr double kLatest = 0.125;
constexpr int kRate = 48000;
constexpr std::uint32_t kRed = 0xFF0000;
constexpr std::uint32_t kBlue = 0x0000FF;

std::int64_t nanos(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// Short 1 kHz beeps into a sink at chosen steady-clock moments. The stream keeps its buffer
// small and places each beep at the sample Pulse says will be played at that moment; an error in
// that, or sound already queued, can only make the beep later.
class Beeper {
  public:
    explicit Beeper(const char* sink) {
        m_loop = pa_threaded_mainloop_new();
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "alignment-beeper");
        pa_context_connect(m_context, nullptr, PA_CONTEXT_NOFLAGS, nullptr);
        pa_threaded_mainloop_start(m_loop);
        if (!x11test::eventuallyTrue(
                [&] { return pa_context_get_state(m_context) == PA_CONTEXT_READY; })) {
            return;
        }
        pa_threaded_mainloop_lock(m_loop);
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, kRate, 1};
        m_stream = pa_stream_new(m_context, "beeps", &spec, nullptr);
        pa_buffer_attr attr{};
        attr.maxlength = attr.prebuf = attr.minreq = attr.fragsize = static_cast<std::uint32_t>(-1);
        attr.tlength = kRate * 4 * 20 / 1000;
        pa_stream_set_write_callback(m_stream, &Beeper::onWritable, this);
        pa_stream_connect_playback(
            m_stream, sink, &attr,
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                           PA_STREAM_AUTO_TIMING_UPDATE),
            nullptr, nullptr);
        pa_threaded_mainloop_unlock(m_loop);
    }
    ~Beeper() {
        pa_threaded_mainloop_stop(m_loop);
        if (m_stream) {
            pa_stream_disconnect(m_stream);
            pa_stream_unref(m_stream);
        }
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        pa_threaded_mainloop_free(m_loop);
    }
    bool playing() {
        std::lock_guard lock(m_mutex);
        return m_written > 0;
    }
    void beepAt(Clock::time_point at) {
        std::lock_guard lock(m_mutex);
        m_beeps.push_back(nanos(at));
    }

  private:
    static void onWritable(pa_stream* stream, size_t bytes, void* userdata) {
        auto* self = static_cast<Beeper*>(userdata);
        const std::int64_t now = nanos(Clock::now());
        pa_usec_t latency = 0;
        int negative = 0;
        std::int64_t playsAt = now;
        if (pa_stream_get_latency(stream, &latency, &negative) == 0) {
            playsAt += (negative ? -1 : 1) * static_cast<std::int64_t>(latency) * 1000;
        }
        std::vector<float> samples(bytes / sizeof(float), 0.0f);
        {
            std::lock_guard lock(self->m_mutex);
            for (std::size_t i = 0; i < samples.size(); ++i) {
                const std::int64_t t =
                    playsAt + static_cast<std::int64_t>(i) * 1'000'000'000 / kRate;
                for (const std::int64_t beep : self->m_beeps) {
                    const double since = static_cast<double>(t - beep) * 1e-9;
                    if (since >= 0 && since < 0.05) {
                        samples[i] = 0.5f * static_cast<float>(
                                                std::sin(2 * std::numbers::pi * 1000 * since));
                    }
                }
            }
            self->m_written += samples.size();
        }
        pa_stream_write(stream, samples.data(), samples.size() * sizeof(float), nullptr, 0,
                        PA_SEEK_RELATIVE);
    }

    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    std::mutex m_mutex;
    std::vector<std::int64_t> m_beeps;
    std::size_t m_written = 0;
};

// When, in the file, the window's colour changed; and the decoded sound with its start.
struct Recorded {
    std::vector<double> colourChanges;
    DecodedAudio audio;
};

Recorded readBack(const std::string& path) {
    Recorded result;
    MediaFile file(path);
    if (!file.isOpen()) {
        ADD_FAILURE() << "cannot open " << path;
        return result;
    }
    std::optional<bool> wasRed;
    file.decode(AVMEDIA_TYPE_VIDEO, [&](const AVFrame& frame, double t) {
        const int x = frame.width / 2;
        const int y = frame.height / 2;
        const bool red = frame.data[2][frame.linesize[2] * (y / 2) + x / 2] > 190;
        if (wasRed && *wasRed != red) {
            result.colourChanges.push_back(t);
        }
        wasRed = red;
    });
    result.audio = decodeAudio(file);
    return result;
}

// Where a sound starts after a pause (beeps), in file seconds.
std::vector<double> onsets(const Recorded& file) {
    std::vector<double> found;
    std::size_t quiet = 0;
    const auto& samples = file.audio.samples;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (std::abs(samples[i]) > 0.05f) {
            if (quiet > kRate / 4) {
                found.push_back(file.audio.start + static_cast<double>(i) / kRate);
            }
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    return found;
}

// Where the microphone was muted and unmuted (a steady tone stops and starts), in file seconds.
// The mute lasts well over a second. Besides it, the tone may break once for a few milliseconds,
// where the track steps onto the device's stamps; more breaks, or a longer one, are sound the
// listener hears drop out.
std::vector<double> muteEdges(const Recorded& file) {
    constexpr double shortestMute = 0.5;
    constexpr double longestStep = 0.025;
    std::vector<double> edges;
    std::size_t breaks = 0;
    for (const auto& [from, to] : quietStretches(file.audio)) {
        if (to - from >= shortestMute) {
            edges.push_back(from);
            edges.push_back(to);
            continue;
        }
        ++breaks;
        std::printf("alignment sine_mic break_ms %.1f at %.3f\n", (to - from) * 1000, from);
        EXPECT_LE(to - from, longestStep) << "the tone breaks off at " << from << " s";
    }
    EXPECT_LE(breaks, 1u) << "breaks in the tone besides the mute";
    return edges;
}

class SoundPictureAlignmentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY") || !std::getenv("PULSE_SERVER") ||
            !std::getenv("KORVANE_TEST_FAKE_MIC") || !std::getenv("KORVANE_TEST_SINE_SOURCE")) {
            GTEST_SKIP() << "needs the virtual desktop of scripts/virtual-desktop.sh";
        }
        environment = rig.environment();
        environment.writerFactory = &platform::makeFfmpegAssetWriter;
        environment.captureStreamFactory = &platform::makeX11CaptureStream;
        environment.windowServer = platform::makeX11WindowServer();
        environment.borderOverlayFactory = &platform::makeX11BorderOverlay;
        environment.converterFactory = &platform::makeAudioConverter;
        environment.audioEngineFactory = &platform::makePulseAudioEngine;
        environment.deviceDiscovery = platform::makePulseDeviceDiscovery();
        ASSERT_TRUE(environment.windowServer);
    }
    void TearDown() override {
        if (window) {
            desktop.destroy(window);
        }
    }

    void startFrom(const char* source) {
        rig.defaults->setString("SelectedMicrophoneKey", source);
        rig.recorder = recording::ScreenRecorder::create(rig.videos, environment);
        fakes::keepFinishedFiles(*rig.recorder, *rig.defaults, kept);
        rig.recorder->setSelectedMicrophoneName(QString::fromUtf8(source));
        window = desktop.make({.width = 160,
                               .height = 120,
                               .netName = "Marker",
                               .className = "marker-app",
                               .solid = kRed,
                               .x = 1500,
                               .y = 700});
        desktop.waitUntilViewable(window);
        std::optional<platform::Rect> bounds;
        ASSERT_TRUE(pumpUntil(
            [&] { return (bounds = environment.windowServer->windowBounds(window)).has_value(); }));
        rig.recorder->capture().applyPickerFilter(
            {{{window, "Marker", "marker-app", *bounds}}, {}, *bounds});
        rig.recorder->startRecording();
        awaitSound();
    }
    // The microphone runs and its sound reaches the file.
    void awaitSound() {
        ASSERT_TRUE(pumpUntil([&] { return rig.recorder->isRecording(); }, 10000));
        ASSERT_TRUE(
            pumpUntil([&] { return rig.recorder->audio().stats().framePosition > 0; }, 15000));
        pumpFor(500);
    }
    // The window turns the other colour at the moment, and once the screen shows it, the sound
    // is marked (a busy X server paints late: the picture's mark is when it did).
    void markAt(Clock::time_point at, const std::function<void()>& markSound) {
        pumpUntil([&] { return Clock::now() >= at; }, 10000);
        colour = colour == kRed ? kBlue : kRed;
        desktop.fill(window, colour);
        markSound();
    }
    std::string takeFile(const std::function<void()>& stop) {
        kept.clear();
        stop();
        EXPECT_TRUE(pumpUntil([&] { return !kept.empty(); }, 30000)) << "the take was finished";
        return kept;
    }
    void repeat() {
        const auto path = takeFile([&] { rig.recorder->repeatRecording(); });
        first = readBack(path);
        awaitSound();
    }
    Recorded stop() {
        auto path = takeFile([&] { rig.recorder->stopRecording(); });
        pumpUntil([&] { return rig.recorder->isSuccess() || rig.recorder->isShowError(); }, 30000);
        return readBack(path);
    }
    // Every mark of the sound against the colour change it goes with.
    void expectAligned(const char* source, int take, const std::vector<double>& sound,
                       const std::vector<double>& picture, std::size_t marks) {
        SCOPED_TRACE(std::string(source) + " take " + std::to_string(take));
        if (sound.size() != marks) {
            std::printf("alignment %s take %d marks_heard %zu of %zu\n", source, take, sound.size(),
                        marks);
        }
        ASSERT_EQ(picture.size(), marks) << "colour changes seen in the picture";
        ASSERT_EQ(sound.size(), marks) << "marks heard in the sound";
        for (std::size_t i = 0; i < marks; ++i) {
            const double offset = sound[i] - picture[i];
            std::printf("alignment %s take %d offset_ms %.1f\n", source, take, offset * 1000);
            EXPECT_GE(offset, kEarliest) << "mark " << i << ": the sound runs ahead";
            EXPECT_LE(offset, kLatest) << "mark " << i << ": the sound lags";
        }
        std::fflush(stdout);
    }

    fakes::Rig rig;
    recording::RecorderEnvironment environment;
    x11test::TestDesktop desktop;
    xcb_window_t window = 0;
    std::uint32_t colour = kRed;
    std::string kept;
    Recorded first;
};

}  // namespace

TEST_F(SoundPictureAlignmentTest, BeepsHeardByTheMonitorMicrophoneSitWhereThePictureShowsThem) {
    Beeper beeper("virt_out");
    ASSERT_TRUE(x11test::eventuallyTrue([&] { return beeper.playing(); }));
    startFrom(std::getenv("KORVANE_TEST_FAKE_MIC"));
    ASSERT_FALSE(HasFatalFailure());
    constexpr int kBeeps = 5;
    const auto playTake = [&] {
        const auto base = Clock::now() + std::chrono::milliseconds(700);
        for (int i = 0; i < kBeeps; ++i) {
            markAt(base + std::chrono::milliseconds(900 * i), [&] { beeper.beepAt(Clock::now()); });
        }
        pumpFor(700);
    };
    playTake();
    repeat();
    ASSERT_FALSE(HasFatalFailure());
    playTake();
    const auto second = stop();
    expectAligned("fake_mic", 1, onsets(first), first.colourChanges, kBeeps);
    expectAligned("fake_mic", 2, onsets(second), second.colourChanges, kBeeps);
}

TEST_F(SoundPictureAlignmentTest, AMutedStretchOfTheHeadsetSitsWhereThePictureShowsThePresses) {
    startFrom(std::getenv("KORVANE_TEST_SINE_SOURCE"));
    ASSERT_FALSE(HasFatalFailure());
    const auto muteTake = [&] {
        const auto base = Clock::now() + std::chrono::milliseconds(1500);
        markAt(base, [&] { rig.recorder->setMicrophoneMuted(true); });
        markAt(base + std::chrono::milliseconds(1700),
               [&] { rig.recorder->setMicrophoneMuted(false); });
        // The source hands its tone over in blocks of two seconds: the one after the unmute too.
        pumpFor(4500);
    };
    muteTake();
    repeat();
    ASSERT_FALSE(HasFatalFailure());
    muteTake();
    const auto second = stop();
    expectAligned("sine_mic", 1, muteEdges(first), first.colourChanges, 2);
    expectAligned("sine_mic", 2, muteEdges(second), second.colourChanges, 2);
}
