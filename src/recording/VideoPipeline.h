#pragma once

#include "platform/AssetWriter.h"
#include "platform/CaptureStream.h"
#include "platform/MediaTime.h"
#include "platform/SerialQueue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace recording {

// The writer of one recording and what it was set up with; replaced as a whole.
struct WriterSession {
    std::shared_ptr<platform::AssetWriter> writer;
    std::shared_ptr<platform::FrameCompositor> compositor;  // used on the video queue only
    bool hasVideoInput = false;
    bool hasAudioInput = false;
    bool started = false;
    std::optional<std::pair<int, int>> videoSize;
    // The first frame's time and the slots the encoder has passed since: the picture's clock.
    std::optional<platform::MediaTime> firstPTS;
    std::int64_t frameIndex = 0;
    // The steady-clock moment the file's start shows. A slot holds the newest frame grabbed
    // before its tick, so it shows the screen of up to a slot earlier: the moment is one slot
    // before the encode timer's first tick (whatever the first frame's stamp), moved on by every
    // slot the timer passed without writing (paused).
    std::optional<platform::MediaTime> clockOrigin;
};

// The picture's side of a recording: the MP4 writer, frames from the capture, the encode timer
// that writes the newest frame at a constant rate, and the file's finalization. Frames arrive
// on the writer queue, are taken in on the video queue, and the writer is finished on the writer
// queue.
class VideoPipeline : public std::enable_shared_from_this<VideoPipeline> {
  public:
    struct Events {
        // Video queue, before a new writer is used: what belongs to the previous one goes.
        std::function<void()> sessionStarting;
        // Video queue, once a new writer took the first frame's size.
        std::function<void()> writerReady;
        // Video queue, once per recording: no writer could be made, the writer would not start,
        // or it failed while recording (the disk filled). The failure is kept (takeFailure);
        // nothing more reaches the file.
        std::function<void()> failed;
        // Video queue, after each encode run: the picture moved on.
        std::function<void()> advanced;
        // Writer queue: the file was finished or cancelled and the session cleared.
        std::function<void()> finished;
    };
    // What the audio track is placed against.
    struct Timeline {
        std::shared_ptr<platform::AssetWriter> writer;
        bool started = false;
        bool hasAudioInput = false;
        std::optional<platform::MediaTime> firstPTS;
        std::int64_t frameIndex = 0;
        std::optional<platform::MediaTime> clockOrigin;
    };
    struct Stats {
        bool hasWriter = false;
        bool writerStarted = false;
        bool hasAudioInput = false;
        bool isEncoderRunning = false;
        bool hasFirstFrame = false;
        std::optional<std::pair<int, int>> videoSize;
        std::int64_t frameIndex = 0;
        // Frame slots of the current (or last) recording that got no frame: late ticks, a busy
        // encoder input, no pooled frame.
        std::uint64_t droppedFrameSlots = 0;
    };

    static constexpr std::int32_t targetFPS = 30;

    // runsEncodeTimer is off only for the benchmark, which drives the encode runs itself.
    static std::shared_ptr<VideoPipeline> create(platform::AssetWriterFactory writerFactory,
                                                 bool runsEncodeTimer, Events events);
    ~VideoPipeline();
    // Joins the queues; nothing of this pipeline runs afterwards.
    void shutdown();

    // Any thread.
    void setPaused(bool paused) { m_paused = paused; }
    // Whether the next writer gets an audio track.
    void setWantsAudioTrack(bool wanted) { m_wantsAudioTrack = wanted; }
    // The file the next recording's first frame opens.
    void setPendingOutputURL(std::optional<std::string> path);
    // Why the file of the recording that ends is no movie; taken once.
    std::optional<std::string> takeFailure();
    bool hasFailure() const;
    void clearFailure();
    Timeline timeline() const;
    Stats stats() const;
    // How many recordings' writers have ended so far, and a wait for the next end after
    // `endedBefore`; false when `limit` passed first. For a caller that can no longer wait
    // for the end on the main thread (the process is exiting).
    std::uint64_t endedCount() const;
    bool waitForEnd(std::uint64_t endedBefore, std::chrono::milliseconds limit);

    // The capture's output, on the writer queue.
    void handleSample(const platform::VideoSample& sample);
    // One run of the encode timer, on the video queue (the benchmark drives it directly).
    void encodeTick(std::uint64_t ticks);
    // Video queue (or the owner at teardown).
    void stopEncoder();
    // Writer queue: finishes the file (or cancels an unstarted one), then clears the session.
    void finalize();
    // Video queue: the recording is thrown away; the partial file goes with the writer.
    void cancel();

    platform::SerialQueue& writerQueue() { return *m_writerQueue; }
    platform::SerialQueue& videoQueue() { return *m_videoQueue; }

  private:
    VideoPipeline(platform::AssetWriterFactory writerFactory, bool runsEncodeTimer, Events events);
    void ingest(std::shared_ptr<const platform::PixelBuffer> image, platform::MediaTime pts);
    bool openWriterFor(const platform::PixelBuffer& image);
    std::expected<WriterSession, std::string> setupWriter(const std::string& url, int width,
                                                          int height);
    void startWriterIfNeeded(platform::MediaTime at);
    void startEncoderIfNeeded();
    void encodeLatestFrame(platform::MediaTime firstPTS, std::uint64_t ticks);
    void countDroppedSlot();
    void noteFailure(const platform::AssetWriter& writer);
    // Keeps the reason and tells the owner, once per recording.
    void fail(std::string reason);
    // A writer that failed while recording takes nothing more: the recording ends (video queue).
    void checkWriter(const platform::AssetWriter& writer);
    // Every way a recording's writer ends comes here: the session is cleared in one place.
    void endSession(bool finished);

    const platform::AssetWriterFactory m_writerFactory;
    const bool m_runsEncodeTimer;
    const Events m_events;
    std::atomic<bool> m_paused{false};
    std::atomic<bool> m_wantsAudioTrack{true};

    mutable std::mutex m_mutex;
    std::condition_variable m_ended;
    std::uint64_t m_endedCount = 0;
    WriterSession m_session;
    bool m_isFinalizing = false;
    std::optional<std::string> m_pendingOutputURL;
    std::optional<std::string> m_failure;
    bool m_failureReported = false;
    std::shared_ptr<const platform::PixelBuffer> m_latestFrame;
    std::unique_ptr<platform::QueueTimer> m_encodeTimer;
    bool m_isEncoderRunning = false;
    std::uint64_t m_droppedFrameSlots = 0;

    // Declared last: destroyed first, so no queued closure outlives the state it touches.
    std::unique_ptr<platform::SerialQueue> m_videoQueue;
    std::unique_ptr<platform::SerialQueue> m_writerQueue;
};

}  // namespace recording
