#include "media/PulseAudioEngine.h"
#include "media/PulseConnection.h"
#include "platform/Log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>

namespace platform {

namespace {

using pulse::Connection;

constexpr int kDefaultFragmentFrames = 1024;

struct SourceLayout {
    bool found = false;
    pa_sample_spec samples{};
    pa_channel_map map{};
};

std::string sourceLabel(const std::string& deviceId) {
    return deviceId.empty() ? "the default source" : "source " + deviceId;
}

// Lock held.
std::expected<SourceLayout, std::string> querySource(Connection& connection,
                                                     const std::string& deviceId) {
    SourceLayout result;
    pa_operation* operation = pa_context_get_source_info_by_name(
        connection.context(), deviceId.empty() ? "@DEFAULT_SOURCE@" : deviceId.c_str(),
        [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
            auto* out = static_cast<SourceLayout*>(userdata);
            if (eol == 0 && info) {
                out->found = true;
                out->samples = info->sample_spec;
                out->map = info->channel_map;
            }
        },
        &result);
    if (!connection.finish(operation, pulse::kConnectTimeout)) {
        return std::unexpected("PulseAudio did not describe " + sourceLabel(deviceId));
    }
    if (!result.found) {
        return std::unexpected(sourceLabel(deviceId) + " not found");
    }
    return result;
}

// Types the tap cannot carry are recorded as float32: Pulse converts on its side.
AudioFormat formatFor(const pa_sample_spec& samples) {
    AudioFormat format;
    format.sampleRate = samples.rate;
    format.channels = samples.channels;
    switch (samples.format) {
        case PA_SAMPLE_S16NE:
            format.sampleType = SampleType::int16;
            break;
        case PA_SAMPLE_S32NE:
            format.sampleType = SampleType::int32;
            break;
        default:
            format.sampleType = SampleType::float32;
            break;
    }
    return format;
}

pa_sample_spec pulseFormatFor(const AudioFormat& format) {
    pa_sample_spec samples{};
    samples.format = format.sampleType == SampleType::int16   ? PA_SAMPLE_S16NE
                     : format.sampleType == SampleType::int32 ? PA_SAMPLE_S32NE
                                                              : PA_SAMPLE_FLOAT32NE;
    samples.rate = static_cast<std::uint32_t>(format.sampleRate);
    samples.channels = static_cast<std::uint8_t>(format.channels);
    return samples;
}

std::int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// When the sound of a record stream was heard, read from the server's timing snapshots: each says
// which byte of the stream was being heard as it came in, and the bytes around it follow at the
// stream's rate. (Pulse's own interpolation smooths between snapshots over seconds; after a late
// first sound or a move it is off by a few hundred milliseconds for a while, and a track following
// it steps forward again and again, leaving gaps.) A snapshot taken before the source wrote any
// sound into the stream counts the wait for that sound as latency and is not taken.
struct CaptureClock {
    struct Anchor {
        std::int64_t heardNs = 0;  // steady clock
        std::int64_t byte = 0;
    };
    std::optional<Anchor> anchor;
    std::int64_t consumed = 0;    // bytes read from the stream, holes included
    std::int64_t soundAfter = 0;  // a snapshot counts once the server wrote beyond this byte
    bool asked = false;           // a snapshot of our own is on its way

    // Another source took over behind `received`: its sound has a time of its own.
    void restartAfter(std::int64_t received) {
        anchor.reset();
        soundAfter = received;
        asked = false;
    }

    void take(const pa_timing_info* timing, const AudioFormat& format, std::int64_t nowNs) {
        asked = false;
        if (!timing || timing->write_index_corrupt || timing->write_index <= soundAfter) {
            return;
        }
        // Heard now: the byte past the last one written by the source's own delay and the
        // snapshot's trip, less what a monitor's sink still holds before it plays it.
        const double aheadUs = static_cast<double>(timing->transport_usec) +
                               static_cast<double>(timing->source_usec) -
                               static_cast<double>(timing->sink_usec);
        anchor = Anchor{nowNs, timing->write_index + bytesFor(aheadUs * 1e3, format)};
    }

    std::optional<std::int64_t> heardAt(std::int64_t byte, const AudioFormat& format) const {
        if (!anchor) {
            return std::nullopt;
        }
        const double bytesPerNs = format.sampleRate * format.bytesPerFrame() / 1e9;
        return anchor->heardNs +
               std::llround(static_cast<double>(byte - anchor->byte) / std::max(bytesPerNs, 1e-9));
    }

    static std::int64_t bytesFor(double ns, const AudioFormat& format) {
        const std::int64_t frames = std::llround(ns * format.sampleRate / 1e9);
        return frames * format.bytesPerFrame();
    }
};

class PulseAudioEngine;
// Set while an engine's tap runs, so removeTap() from inside the tap does not wait for itself.
thread_local const PulseAudioEngine* t_tapCaller = nullptr;

class PulseAudioEngine final : public AudioEngine {
  public:
    explicit PulseAudioEngine(std::string deviceId) : m_deviceId(std::move(deviceId)) {
        auto connection = Connection::open("Korvane", pulse::kConnectTimeout);
        if (!connection) {
            return;  // the default format stands; start() reports the problem
        }
        Connection::Lock lock(**connection);
        if (auto source = querySource(**connection, m_deviceId)) {
            m_format = formatFor(source->samples);
            m_channelMap = source->map;
        }
    }

    ~PulseAudioEngine() override { stop(); }

    AudioFormat inputFormat() const override { return m_format; }

    void installTap(int bufferFrames, TapBlock block) override {
        std::lock_guard control(m_control);
        withStreamLocked([&] {
            m_tap = std::move(block);
            m_tapFrames = std::max(bufferFrames, 1);
            m_chunk = PcmBuffer(m_format, m_tapFrames);
            m_chunkBytes = 0;
            m_dropTapAfterCall = false;
        });
    }

    void removeTap() override {
        if (t_tapCaller == this) {
            m_dropTapAfterCall = true;  // the loop lock is ours already
            return;
        }
        std::lock_guard control(m_control);
        withStreamLocked([&] { m_tap = nullptr; });
    }

    std::expected<void, std::string> start() override {
        std::lock_guard control(m_control);
        if (m_connection && m_running) {
            return {};
        }
        teardown();    // a stream the server ended
        m_clock = {};  // before the new stream's callbacks may run
        auto opened = Connection::open("Korvane", pulse::kConnectTimeout);
        if (!opened) {
            return std::unexpected(opened.error());
        }
        Connection& connection = **opened;
        Connection::Lock lock(connection);
        if (auto source = querySource(connection, m_deviceId); !source) {
            return std::unexpected(source.error());
        }
        const pa_sample_spec samples = pulseFormatFor(m_format);
        const bool mapFits = m_channelMap && m_channelMap->channels == samples.channels;
        pa_stream* stream = pa_stream_new(connection.context(), "Narration", &samples,
                                          mapFits ? &*m_channelMap : nullptr);
        if (!stream) {
            return std::unexpected("cannot create a record stream: " + connection.lastError());
        }
        pa_stream_set_state_callback(stream, &PulseAudioEngine::onStreamState, this);
        pa_stream_set_read_callback(stream, &PulseAudioEngine::onReadable, this);
        pa_stream_set_moved_callback(stream, &PulseAudioEngine::onMoved, this);
        pa_stream_set_latency_update_callback(stream, &PulseAudioEngine::onTiming, this);
        // One fragment per tap buffer: Pulse hands audio over every ~21 ms instead of in bursts.
        const int fragmentFrames = m_tapFrames > 0 ? m_tapFrames : kDefaultFragmentFrames;
        pa_buffer_attr attr{};
        attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(fragmentFrames * m_format.bytesPerFrame());
        const char* device = m_deviceId.empty() ? nullptr : m_deviceId.c_str();
        m_connecting = &connection;
        std::string failure;
        // Timing updates let each buffer say when it was heard, whatever the source's block size.
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE);
        if (pa_stream_connect_record(stream, device, &attr, flags) < 0) {
            failure = connection.lastError();
        } else if (!connection.waitUntil(
                       [stream] { return pa_stream_get_state(stream) != PA_STREAM_CREATING; },
                       pulse::kConnectTimeout)) {
            failure = "no answer within the time limit";
        } else if (pa_stream_get_state(stream) != PA_STREAM_READY) {
            failure = connection.lastError();
        }
        if (!failure.empty()) {
            detach(stream);
            m_connecting = nullptr;
            return std::unexpected("cannot record from " + sourceLabel(m_deviceId) + ": " +
                                   failure);
        }
        m_chunkBytes = 0;
        m_stream = stream;
        m_running = true;
        m_connection = std::move(*opened);
        return {};
    }

    void stop() override {
        std::lock_guard control(m_control);
        teardown();
    }

    bool isRunning() const override { return m_running; }
    bool stampsCaptureTime() const override { return true; }

    void setLossHandler(LossHandler handler) override {
        std::lock_guard control(m_control);
        withStreamLocked([&] { m_lossHandler = std::move(handler); });
    }

  private:
    // m_control held.
    void teardown() {
        if (!m_connection) {
            return;
        }
        {
            Connection::Lock lock(*m_connection);
            detach(m_stream);
            m_stream = nullptr;
        }
        m_connection.reset();  // joins Pulse's thread
        m_connecting = nullptr;
        m_running = false;
    }

    // Runs f under the loop lock when a stream exists: the tap state belongs to Pulse's thread
    // then.
    template <class F>
    void withStreamLocked(F f) {
        if (m_connection) {
            Connection::Lock lock(*m_connection);
            f();
        } else {
            f();
        }
    }

    static void detach(pa_stream* stream) {
        if (!stream) {
            return;
        }
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_moved_callback(stream, nullptr, nullptr);
        pa_stream_set_latency_update_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }

    static void onStreamState(pa_stream* stream, void* userdata) {
        auto* self = static_cast<PulseAudioEngine*>(userdata);
        // Only a capture that had started is lost: a failed connect is start()'s error.
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream)) && self->m_running.exchange(false) &&
            self->m_lossHandler) {
            self->m_lossHandler(sourceLabel(self->m_deviceId) + " stopped: " +
                                pa_strerror(pa_context_errno(pa_stream_get_context(stream))));
        }
        self->m_connecting->signal();
    }

    // A server that rescues streams moves ours to another source when its own goes away; the
    // narration goes on from there, and the log says from where. The old source's timing says
    // nothing of the new one's sound.
    static void onMoved(pa_stream* stream, void* userdata) {
        auto* self = static_cast<PulseAudioEngine*>(userdata);
        const size_t queued = pa_stream_readable_size(stream);
        self->m_clock.restartAfter(self->m_clock.consumed +
                                   (queued == static_cast<size_t>(-1) ? 0 : queued));
        const char* name = pa_stream_get_device_name(stream);
        logLine(std::string("The microphone now records from source ") + (name ? name : "?"));
    }

    static void onReadable(pa_stream* stream, size_t, void* userdata) {
        auto* self = static_cast<PulseAudioEngine*>(userdata);
        self->m_readTimeNs = self->m_clock.heardAt(self->m_clock.consumed, self->m_format);
        for (;;) {
            const size_t readable = pa_stream_readable_size(stream);
            if (readable == static_cast<size_t>(-1) || readable == 0) {
                return;
            }
            self->askForTimingOnce(stream);
            const void* data = nullptr;
            size_t length = 0;
            if (pa_stream_peek(stream, &data, &length) < 0 || length == 0) {
                return;  // nothing to drop
            }
            self->consume(static_cast<const std::uint8_t*>(data), length);  // null data is a hole
            self->m_clock.consumed += static_cast<std::int64_t>(length);
            pa_stream_drop(stream);
        }
    }

    // The stream's own updates come ever more rarely (up to 1.5 s apart) from the connection on,
    // so a source whose first sound comes late would go unstamped for a second or more: the
    // first sound asks for one of its own.
    void askForTimingOnce(pa_stream* stream) {
        if (m_clock.anchor || m_clock.asked) {
            return;
        }
        if (pa_operation* op = pa_stream_update_timing_info(stream, nullptr, nullptr)) {
            m_clock.asked = true;
            pa_operation_unref(op);
        }
    }

    static void onTiming(pa_stream* stream, void* userdata) {
        auto* self = static_cast<PulseAudioEngine*>(userdata);
        self->m_clock.take(pa_stream_get_timing_info(stream), self->m_format, steadyNowNs());
    }

    double bytesToNs(size_t bytes) const {
        const double bytesPerSecond = m_format.sampleRate * m_format.bytesPerFrame();
        return bytesPerSecond > 0 ? static_cast<double>(bytes) * 1e9 / bytesPerSecond : 0.0;
    }

    // Cuts whatever Pulse delivered into exact tap buffers; holes become silence so the
    // timeline keeps its length.
    void consume(const std::uint8_t* data, size_t length) {
        if (!m_tap) {
            m_chunkBytes = 0;
            return;
        }
        const size_t capacity = m_chunk.data.size();
        while (length > 0 && m_tap) {
            const size_t take = std::min(length, capacity - m_chunkBytes);
            if (m_chunkBytes == 0) {
                m_chunk.captureTime =
                    m_readTimeNs ? MediaTime(*m_readTimeNs, 1'000'000'000) : MediaTime();
            }
            if (m_readTimeNs) {
                *m_readTimeNs += static_cast<std::int64_t>(bytesToNs(take));
            }
            if (data) {
                std::memcpy(m_chunk.data.data() + m_chunkBytes, data, take);
                data += take;
            } else {
                std::memset(m_chunk.data.data() + m_chunkBytes, 0, take);
            }
            m_chunkBytes += take;
            length -= take;
            if (m_chunkBytes == capacity) {
                m_chunkBytes = 0;
                m_chunk.frameLength = m_tapFrames;
                t_tapCaller = this;
                m_tap(m_chunk);
                t_tapCaller = nullptr;
                if (m_dropTapAfterCall) {
                    m_dropTapAfterCall = false;
                    m_tap = nullptr;
                }
            }
        }
    }

    const std::string m_deviceId;
    AudioFormat m_format;  // fixed at construction
    std::optional<pa_channel_map> m_channelMap;

    std::mutex m_control;  // serialises the public calls
    std::unique_ptr<Connection> m_connection;
    Connection* m_connecting = nullptr;  // the connection the stream callbacks signal
    pa_stream* m_stream = nullptr;
    std::atomic<bool> m_running{false};

    // Owned by Pulse's thread (under the loop lock) while a stream exists, else by m_control.
    TapBlock m_tap;
    LossHandler m_lossHandler;
    int m_tapFrames = 0;
    PcmBuffer m_chunk;
    size_t m_chunkBytes = 0;
    std::optional<std::int64_t> m_readTimeNs;  // when the next byte consumed was heard
    CaptureClock m_clock;                      // Pulse's thread
    bool m_dropTapAfterCall = false;
};

}  // namespace

std::unique_ptr<AudioEngine> makePulseAudioEngine(const std::string& deviceId) {
    return std::make_unique<PulseAudioEngine>(deviceId);
}

}  // namespace platform
