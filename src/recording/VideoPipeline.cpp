#include "VideoPipeline.h"

#include "platform/Log.h"

#include <algorithm>
#include <chrono>

namespace recording {

using platform::MediaTime;

namespace {
const auto slotInterval =
    std::chrono::nanoseconds(1'000'000'000 / std::max(VideoPipeline::targetFPS, 1));
}  // namespace

std::shared_ptr<VideoPipeline> VideoPipeline::create(platform::AssetWriterFactory writerFactory,
                                                     bool runsEncodeTimer, Events events) {
    return std::shared_ptr<VideoPipeline>(
        new VideoPipeline(std::move(writerFactory), runsEncodeTimer, std::move(events)));
}

VideoPipeline::VideoPipeline(platform::AssetWriterFactory writerFactory, bool runsEncodeTimer,
                             Events events)
    : m_writerFactory(std::move(writerFactory)),
      m_runsEncodeTimer(runsEncodeTimer),
      m_events(std::move(events)),
      m_videoQueue(std::make_unique<platform::SerialQueue>("screen.recorder.video")),
      m_writerQueue(std::make_unique<platform::SerialQueue>("screen.recorder.writer")) {}

VideoPipeline::~VideoPipeline() {
    stopEncoder();
}

void VideoPipeline::shutdown() {
    stopEncoder();
    m_writerQueue->join();
    m_videoQueue->join();
}

void VideoPipeline::setPendingOutputURL(std::optional<std::string> path) {
    std::lock_guard lock(m_mutex);
    m_pendingOutputURL = std::move(path);
}

std::optional<std::string> VideoPipeline::takeFailure() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_failure, std::nullopt);
}

bool VideoPipeline::hasFailure() const {
    std::lock_guard lock(m_mutex);
    return m_failure.has_value();
}

void VideoPipeline::clearFailure() {
    std::lock_guard lock(m_mutex);
    m_failure.reset();
    m_failureReported = false;
}

VideoPipeline::Timeline VideoPipeline::timeline() const {
    std::lock_guard lock(m_mutex);
    return {m_session.writer,   m_session.started,    m_session.hasAudioInput,
            m_session.firstPTS, m_session.frameIndex, m_session.clockOrigin};
}

VideoPipeline::Stats VideoPipeline::stats() const {
    std::lock_guard lock(m_mutex);
    Stats stats;
    stats.hasWriter = m_session.writer != nullptr;
    stats.writerStarted = m_session.started;
    stats.hasAudioInput = m_session.hasAudioInput;
    stats.isEncoderRunning = m_isEncoderRunning;
    stats.hasFirstFrame = m_session.firstPTS.has_value();
    stats.videoSize = m_session.videoSize;
    stats.frameIndex = m_session.frameIndex;
    stats.droppedFrameSlots = m_droppedFrameSlots;
    return stats;
}

std::uint64_t VideoPipeline::endedCount() const {
    std::lock_guard lock(m_mutex);
    return m_endedCount;
}

bool VideoPipeline::waitForEnd(std::uint64_t endedBefore, std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    return m_ended.wait_for(lock, limit, [&] { return m_endedCount > endedBefore; });
}

// --- frames in ---

void VideoPipeline::handleSample(const platform::VideoSample& sample) {
    if (!sample.isValid || !sample.dataIsReady || sample.mediaType != platform::MediaType::video ||
        !sample.imageBuffer || m_paused) {
        return;
    }
    m_videoQueue->post(
        [weak = weak_from_this(), image = sample.imageBuffer, pts = sample.presentationTime] {
            if (auto self = weak.lock()) {
                self->ingest(image, pts);
            }
        });
}

void VideoPipeline::ingest(std::shared_ptr<const platform::PixelBuffer> image, MediaTime pts) {
    bool haveWriter = false;
    {
        std::lock_guard lock(m_mutex);
        haveWriter = m_session.writer != nullptr;
    }
    if (!haveWriter && !openWriterFor(*image)) {
        return;
    }
    bool needsStart = false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_session.firstPTS) {
            m_session.firstPTS = pts;
            m_session.frameIndex = 0;
            needsStart = true;
        }
    }
    if (needsStart) {
        startWriterIfNeeded(pts);
    }
    {
        std::lock_guard lock(m_mutex);
        m_latestFrame = std::move(image);
    }
    startEncoderIfNeeded();
}

bool VideoPipeline::openWriterFor(const platform::PixelBuffer& image) {
    std::optional<std::string> url;
    {
        std::lock_guard lock(m_mutex);
        url = m_pendingOutputURL;
    }
    if (!url) {
        return false;
    }
    auto session = setupWriter(*url, std::max(image.width, 2), std::max(image.height, 2));
    if (!session) {
        // Said once: the frames that follow find no file to go to, and the recording ends
        // with the reason raised instead of running on with nothing written.
        platform::logLine("setupWriter failed: " + session.error());
        {
            std::lock_guard lock(m_mutex);
            m_pendingOutputURL.reset();
        }
        fail(session.error());
        return false;
    }
    stopEncoder();
    if (m_events.sessionStarting) {
        m_events.sessionStarting();
    }
    {
        std::lock_guard lock(m_mutex);
        m_session = std::move(*session);
        m_isFinalizing = false;
        m_failureReported = false;
        m_droppedFrameSlots = 0;
    }
    if (m_events.writerReady) {
        m_events.writerReady();
    }
    return true;
}

std::expected<WriterSession, std::string> VideoPipeline::setupWriter(const std::string& url,
                                                                     int width, int height) {
    auto created = m_writerFactory(url);
    if (!created) {
        return std::unexpected(created.error());
    }
    WriterSession session;
    session.writer = std::move(*created);
    platform::VideoOutputSettings video;
    video.width = width;
    video.height = height;
    video.averageBitRate = 6'000'000;
    video.maxKeyFrameInterval = std::max(targetFPS, 30) * 2;
    video.mediaTimeScale = std::max(targetFPS, 30);
    auto& writer = *session.writer;
    session.hasVideoInput = writer.canAddVideoInput() && writer.addVideoInput(video);
    if (m_wantsAudioTrack) {
        session.hasAudioInput =
            writer.canAddAudioInput() && writer.addAudioInput(platform::AudioOutputSettings{});
    }
    session.compositor = writer.makeCompositor();
    session.videoSize = std::make_pair(width, height);
    return session;
}

void VideoPipeline::startWriterIfNeeded(MediaTime at) {
    std::shared_ptr<platform::AssetWriter> writer;
    {
        std::lock_guard lock(m_mutex);
        if (!m_session.writer || m_session.started) {
            return;
        }
        writer = m_session.writer;
    }
    if (!writer->startWriting()) {
        // Nothing can be written (a full disk, an encoder that would not open): the recording
        // ends with the reason instead of running on into an empty file.
        const std::string reason = writer->error().value_or("The recording could not be started");
        platform::logLine("Failed to start AVAssetWriter: " + reason);
        fail(reason);
        return;
    }
    writer->startSession(at);
    {
        std::lock_guard lock(m_mutex);
        m_session.started = true;
    }
    startEncoderIfNeeded();
}

// --- the encode timer ---

void VideoPipeline::startEncoderIfNeeded() {
    MediaTime firstPTS;
    const auto firstDeadline = platform::SerialQueue::Clock::now();
    {
        std::lock_guard lock(m_mutex);
        if (m_isEncoderRunning || !m_session.firstPTS || !m_session.started ||
            !m_session.hasVideoInput) {
            return;
        }
        m_isEncoderRunning = true;
        firstPTS = *m_session.firstPTS;
        // Without the timer the caller's runs stand for the slots from the first frame's stamp.
        m_session.clockOrigin =
            m_runsEncodeTimer ? MediaTime(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              (firstDeadline - slotInterval).time_since_epoch())
                                              .count(),
                                          1'000'000'000)
                              : firstPTS;
    }
    if (!m_runsEncodeTimer) {
        return;
    }
    auto timer = m_videoQueue->startTimer(firstDeadline, slotInterval,
                                          [weak = weak_from_this(), firstPTS](std::uint64_t ticks) {
                                              if (auto self = weak.lock()) {
                                                  self->encodeLatestFrame(firstPTS, ticks);
                                              }
                                          });
    std::unique_ptr<platform::QueueTimer> previous;
    std::lock_guard lock(m_mutex);
    previous = std::exchange(m_encodeTimer, std::move(timer));
}

void VideoPipeline::stopEncoder() {
    std::unique_ptr<platform::QueueTimer> timer;
    {
        std::lock_guard lock(m_mutex);
        timer = std::move(m_encodeTimer);
        m_isEncoderRunning = false;
        m_latestFrame.reset();
    }
    if (timer) {
        timer->cancel();  // outside the lock: it waits for a tick in progress
    }
}

void VideoPipeline::encodeTick(std::uint64_t ticks) {
    std::optional<MediaTime> firstPTS;
    {
        std::lock_guard lock(m_mutex);
        firstPTS = m_session.firstPTS;
    }
    if (firstPTS) {
        encodeLatestFrame(*firstPTS, ticks);
    }
}

void VideoPipeline::countDroppedSlot() {
    std::lock_guard lock(m_mutex);
    ++m_droppedFrameSlots;
}

void VideoPipeline::encodeLatestFrame(MediaTime firstPTS, std::uint64_t ticks) {
    if (m_paused) {
        // The paused span is cut out of the file: the slots it passed stand for no moment.
        std::lock_guard lock(m_mutex);
        if (m_session.clockOrigin) {
            *m_session.clockOrigin =
                *m_session.clockOrigin +
                MediaTime(static_cast<std::int64_t>(ticks) * slotInterval.count(), 1'000'000'000);
        }
        return;
    }
    // Held by this run: the writer queue may clear the session meanwhile.
    std::shared_ptr<platform::AssetWriter> writer;
    std::shared_ptr<platform::FrameCompositor> compositor;
    std::shared_ptr<const platform::PixelBuffer> latest;
    std::int64_t slot = 0;
    {
        std::lock_guard lock(m_mutex);
        if (!m_session.started || !m_session.hasVideoInput || !m_session.writer ||
            !m_session.compositor || !m_session.videoSize || !m_latestFrame) {
            return;
        }
        writer = m_session.writer;
        compositor = m_session.compositor;
        latest = m_latestFrame;
        // A late run stands for every interval that passed: the slots it missed stay empty,
        // so the picture keeps its place on the timeline next to the narration.
        slot = m_session.frameIndex + static_cast<std::int64_t>(ticks) - 1;
        m_session.frameIndex += static_cast<std::int64_t>(ticks);
        m_droppedFrameSlots += ticks - 1;
    }
    if (m_events.advanced) {
        m_events.advanced();
    }
    const MediaTime pts = firstPTS + MediaTime(slot, targetFPS);
    auto frame = writer->isVideoReadyForMoreMediaData() ? writer->makePooledFrame() : nullptr;
    // A slot whose frame did not make it into the file is counted as left empty, like a late one.
    if (!frame || !compositor->render(*latest, *frame)) {
        countDroppedSlot();
        checkWriter(*writer);
        return;
    }
    if (!writer->appendVideo(std::move(frame), pts)) {
        if (auto error = writer->error()) {
            platform::logLine("append(video) failed: " + *error);
        }
        countDroppedSlot();
        checkWriter(*writer);
    }
}

void VideoPipeline::checkWriter(const platform::AssetWriter& writer) {
    // Either track's write may be the one that failed; the picture's next slot notices it.
    if (writer.status() == platform::AssetWriterStatus::failed) {
        fail(writer.error().value_or("The recording could not be written"));
    }
}

void VideoPipeline::fail(std::string reason) {
    {
        std::lock_guard lock(m_mutex);
        if (m_failureReported) {
            return;
        }
        m_failureReported = true;
        m_failure = std::move(reason);
    }
    if (m_events.failed) {
        m_events.failed();
    }
}

// --- the end of a recording ---

void VideoPipeline::finalize() {
    std::shared_ptr<platform::AssetWriter> writer;
    bool hasAudio = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_isFinalizing) {
            return;
        }
        m_isFinalizing = true;
        writer = m_session.writer;
        hasAudio = m_session.hasAudioInput;
    }
    const auto status = writer ? writer->status() : platform::AssetWriterStatus::completed;
    switch (status) {
        case platform::AssetWriterStatus::unknown:
            writer->cancelWriting();
            break;
        case platform::AssetWriterStatus::writing:
            writer->markVideoAsFinished();
            if (hasAudio) {
                writer->markAudioAsFinished();
            }
            writer->finishWriting([weak = weak_from_this(), writer] {
                if (auto self = weak.lock()) {
                    // A trailer that could not be written leaves a file no player opens.
                    if (writer->status() == platform::AssetWriterStatus::failed) {
                        self->noteFailure(*writer);
                    }
                    self->endSession(true);
                }
            });
            return;
        case platform::AssetWriterStatus::failed:
            // The writer failed while recording (the disk filled, the file was removed): it has
            // ended the file itself, as far as it could.
            noteFailure(*writer);
            break;
        case platform::AssetWriterStatus::completed:
        case platform::AssetWriterStatus::cancelled:
            break;
    }
    endSession(true);
}

void VideoPipeline::cancel() {
    stopEncoder();
    std::shared_ptr<platform::AssetWriter> writer;
    {
        // Forgetting the pending file keeps a late frame from starting a new one at the same
        // place.
        std::lock_guard lock(m_mutex);
        writer = m_session.writer;
        m_failure.reset();
    }
    if (writer) {
        writer->cancelWriting();
    }
    endSession(false);
}

void VideoPipeline::noteFailure(const platform::AssetWriter& writer) {
    std::lock_guard lock(m_mutex);
    m_failure = writer.error().value_or("The recording could not be written");
}

void VideoPipeline::endSession(bool finished) {
    {
        std::lock_guard lock(m_mutex);
        m_session = WriterSession{};
        m_pendingOutputURL.reset();
        if (finished) {
            m_isFinalizing = false;
        }
        ++m_endedCount;
    }
    m_ended.notify_all();
    if (finished && m_events.finished) {
        m_events.finished();
    }
}

}  // namespace recording
