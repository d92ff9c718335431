#pragma once

#include "VideoPipeline.h"

#include "platform/AudioEngine.h"
#include "platform/AudioTypes.h"
#include "platform/SerialQueue.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace recording {

// The narration's side of a recording: microphone buffers copied off the engine's thread,
// queued, converted to 48 kHz mono float, given their gain, and written where they belong on the
// picture's timeline (which it reads from the video pipeline). Works on the audio queue.
class AudioPipeline : public std::enable_shared_from_this<AudioPipeline> {
  public:
    static constexpr int targetSampleRate = 48'000;
    static constexpr int convertedBufferFrames = 4096;
    // How long before its arrival a microphone buffer may have been heard.
    static constexpr int maxCaptureDelaySeconds = 5;
    // How far the written track may part from the device's stamps before it is moved back onto
    // them (8 ms: well inside what a viewer notices, well above the stamps' jitter).
    static constexpr std::int64_t followThresholdFrames = targetSampleRate * 8 / 1000;
    // Stamps weighed for each buffer: the last ones written, it, and those queued behind it.
    static constexpr std::size_t followHistory = 2;
    static constexpr std::size_t followLookahead = 2;
    static constexpr float gain = 0.9f;
    static constexpr float clipLimit = 0.98f;
    static constexpr int analysisEvery = 6;
    static constexpr std::size_t compactionThreshold = 257;

    // `hear` gets every analysisEvery-th converted buffer, for the silence watch.
    using Listener = std::function<void(const platform::PcmBuffer&)>;
    static std::shared_ptr<AudioPipeline> create(std::shared_ptr<const VideoPipeline> video,
                                                 Listener hear);
    static platform::AudioFormat targetFormat();
    // Joins the queue; nothing of this pipeline runs afterwards.
    void shutdown();

    // Any thread.
    void setPaused(bool paused) { m_paused = paused; }
    // Remembers when: sound is silenced by when it was heard, not by when it came in.
    void setMuted(bool muted);

    // A microphone starts with this converter: its first buffer fixes where its sound goes.
    // `stampsLater`: a device that tells the time, though maybe not from its first buffer on.
    void beginMicrophone(std::shared_ptr<platform::AudioConverter> converter,
                         bool stampsLater = false);
    // Drops the converter and everything not yet written.
    void reset();
    // A new writer: the track starts empty at the file's start.
    void startTrack();

    // The engine's thread.
    void handleTap(const platform::PcmBuffer& buffer);
    // Sound that waited for the picture goes on when the picture moved on.
    void resumeIfWaiting();
    // Audio queue, once the picture's length is final: what the microphone delivered up to the
    // end of the picture is written and the rest is filled with silence, so both tracks end
    // together.
    void finishTrack();

    struct Stats {
        std::int64_t framePosition = 0;
        std::size_t pendingCount = 0;
        std::size_t pendingReadIndex = 0;
        std::uint64_t analysedBuffers = 0;  // converted buffers counted for the silence watch
    };
    Stats stats() const;
    platform::SerialQueue& queue() { return *m_queue; }

  private:
    AudioPipeline(std::shared_ptr<const VideoPipeline> video, Listener hear);
    // A microphone buffer waiting to be written, and whether the trader had muted when it came
    // (what decides for a buffer without a time).
    struct PendingAudio {
        platform::PcmBuffer pcm;
        // The microphone's converter when it came: one still queued when another microphone
        // took over is converted from its own format.
        std::shared_ptr<platform::AudioConverter> converter;
        bool muted = false;
        bool opensMicrophone = false;  // the first buffer of a microphone: it fixes where it goes
        bool followed = false;         // its stamp was weighed (once, however often it is tried)
        bool stamped = false;          // its stamp is on the picture's clock: it was placed by it
    };
    struct MuteChange {
        std::int64_t atNs = 0;  // steady clock
        bool muted = false;
    };
    // Where the buffer in hand goes and how much of it stays.
    struct Placement {
        std::int64_t position = 0;
        int skip = 0;
        int keep = 0;
        bool analyse = false;
    };
    void enqueue(PendingAudio buffer);
    void scheduleDrain();
    void drain();
    const PendingAudio* nextToWrite(const VideoPipeline::Timeline& timeline);
    bool alignFirstBuffer(platform::MediaTime origin);
    std::optional<std::int64_t> firstBufferPosition(platform::MediaTime origin) const;
    std::optional<std::int64_t> stampedPosition(const PendingAudio& buffer,
                                                platform::MediaTime origin) const;
    bool followDeviceClock(PendingAudio& current, platform::MediaTime origin);
    bool mutedAt(std::int64_t steadyNs) const;
    bool writeBuffer(const PendingAudio& source, const VideoPipeline::Timeline& timeline);
    Placement place(int frames);
    void silenceMuted(float* samples, const Placement& placement, const PendingAudio& source,
                      const VideoPipeline::Timeline& timeline) const;
    void advanceReadIndex(bool consumed);

    const std::shared_ptr<const VideoPipeline> m_video;
    const Listener m_hear;
    std::atomic<bool> m_paused{false};
    std::atomic<bool> m_muted{false};

    mutable std::mutex m_mutex;
    std::shared_ptr<platform::AudioConverter> m_converter;
    std::deque<PendingAudio> m_pending;
    std::size_t m_readIndex = 0;
    bool m_isDraining = false;
    // Set when the microphone starts; the first buffer it delivers fixes where its audio goes.
    bool m_alignToVideo = false;
    bool m_alignAwaitsStamp = false;   // its first sound waits for the first stamp
    std::int64_t m_alignPosition = 0;  // used when the microphone cannot tell the time
    std::int64_t m_framePosition = 0;
    // Where the track ends (the end of the last picture slot), once the recording stops.
    std::optional<std::int64_t> m_endPosition;
    std::uint64_t m_analysedBuffers = 0;
    // How far the last buffers written sat from their stamps, oldest first (frames).
    std::deque<std::int64_t> m_recentDrift;
    // The trader's mutes and unmutes, oldest first; only the recording's span is kept.
    std::vector<MuteChange> m_muteChanges;

    std::unique_ptr<platform::SerialQueue> m_queue;
};

}  // namespace recording
