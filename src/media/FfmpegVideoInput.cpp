#include "media/FfmpegAssetWriterInternal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <limits>
#include <tuple>

namespace platform::ffmpeg {

namespace {

// The encoder's threads yield to the rest of the recorder (and of the desktop) when the
// machine is busy; they still get a third of a normal thread's share when it is.
constexpr int kEncoderNice = 5;

// The encoder's settings: constant frame rate, the writer's bit rate within a two-second VBV,
// no B-frames, BT.709 limited range.
void configureVideoCodec(AVCodecContext& codec, const VideoOutputSettings& s, bool globalHeader) {
    codec.width = s.width;
    codec.height = s.height;
    codec.pix_fmt = AV_PIX_FMT_YUV420P;
    // One tick per frame.
    codec.time_base = AVRational{1, s.mediaTimeScale};
    codec.framerate = AVRational{s.mediaTimeScale, 1};
    codec.bit_rate = s.averageBitRate;
    // A VBV of two seconds at twice the average keeps the average without starving busy scenes.
    codec.rc_max_rate = 2 * s.averageBitRate;
    codec.rc_buffer_size = static_cast<int>(
        std::min<std::int64_t>(2 * s.averageBitRate, std::numeric_limits<int>::max()));
    codec.gop_size = s.maxKeyFrameInterval;
    codec.max_b_frames = 0;
    codec.thread_count = 0;
    codec.color_range = AVCOL_RANGE_MPEG;
    codec.colorspace = AVCOL_SPC_BT709;
    codec.color_primaries = AVCOL_PRI_BT709;
    codec.color_trc = AVCOL_TRC_BT709;
    if (globalHeader) {
        codec.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
}

}  // namespace

std::shared_ptr<EncoderFrame> FramePool::take() {
    FfmpegEncoderFrame* frame = nullptr;
    {
        std::unique_lock lock(m_mutex);
        if (m_free.empty() && m_frames.size() >= kLimit && m_queued > 0) {
            m_returned.wait_for(lock, std::chrono::seconds(2), [&] { return !m_free.empty(); });
        }
        if (!m_free.empty()) {
            frame = m_free.back();
            m_free.pop_back();
        } else if (m_frames.size() < kLimit) {
            auto made = FfmpegEncoderFrame::create(m_width, m_height, m_buffers);
            if (!made) {
                return nullptr;
            }
            frame = made.get();
            m_frames.push_back(std::move(made));
        } else {
            return nullptr;
        }
    }
    auto self = shared_from_this();
    return std::shared_ptr<EncoderFrame>(
        frame, [self](FfmpegEncoderFrame* returned) { self->giveBack(returned); },
        PoolAllocator<EncoderFrame>(self));
}

void FramePool::giveBack(FfmpegEncoderFrame* frame) {
    // The picture it waited with, and its planes, go back at once, whether or not it was encoded.
    frame->dropPendingPicture();
    frame->releasePicture();
    {
        std::lock_guard lock(m_mutex);
        m_free.push_back(frame);
    }
    m_returned.notify_all();
}

void FramePool::noteQueued(int change) {
    std::lock_guard lock(m_mutex);
    m_queued += change;
}

void* FramePool::allocateBlock(std::size_t size) {
    {
        std::lock_guard lock(m_mutex);
        if (size == m_blockSize && !m_blocks.empty()) {
            void* block = m_blocks.back();
            m_blocks.pop_back();
            return block;
        }
        m_blockSize = m_blocks.empty() ? size : m_blockSize;
    }
    return ::operator new(size);
}

void FramePool::freeBlock(void* block, std::size_t size) {
    {
        std::lock_guard lock(m_mutex);
        if (size == m_blockSize && m_blocks.size() < m_blocks.capacity()) {
            m_blocks.push_back(block);
            return;
        }
    }
    ::operator delete(block);
}

bool FfmpegAssetWriter::openVideoLocked() {
    VideoInput& in = *m_video;
    const VideoOutputSettings& s = in.settings;
    const AVCodec* encoder = avcodec_find_encoder_by_name("libx264");
    if (!encoder) {
        return failLocked("The H.264 encoder libx264 is not available");
    }
    CodecPtr codec(avcodec_alloc_context3(encoder));
    in.packet.reset(av_packet_alloc());
    if (!codec || !in.packet) {
        return failLocked("Could not set up the H.264 encoder: out of memory");
    }
    configureVideoCodec(*codec, s, m_format->oformat->flags & AVFMT_GLOBALHEADER);
    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", m_preset.c_str(), 0);
    av_dict_set(&options, "profile", "high", 0);
    // Fast presets turn CABAC and the 8x8 transform off; x264 only signals High with the latter.
    av_dict_set(&options, "x264-params", "cabac=1:8x8dct=1", 0);
    // x264 starts its threads while it opens. Opened on the encoder thread, below the normal
    // priority, they all inherit that: on a busy machine the capture and the clock that hands
    // frames over keep their time, and the encoding catches up from its queue.
    std::promise<int> openedPromise;
    auto openedFuture = openedPromise.get_future();
    in.encoder = std::thread([this, &in, &openedPromise, codec = codec.get(), encoder, &options] {
        pthread_setname_np(pthread_self(), "video-encoder");
        const auto self = static_cast<id_t>(gettid());
        setpriority(PRIO_PROCESS, self, getpriority(PRIO_PROCESS, self) + kEncoderNice);
        const int result = avcodec_open2(codec, encoder, &options);
        openedPromise.set_value(result);
        if (result >= 0) {
            encodeQueuedVideo(in);
        }
    });
    const int opened = openedFuture.get();
    av_dict_free(&options);
    if (opened < 0) {
        in.encoder.join();
        return failLocked("Could not open the H.264 encoder (preset " + m_preset +
                          "): " + avError(opened));
    }
    in.stream = avformat_new_stream(m_format, nullptr);
    if (!in.stream) {
        return failLocked("Could not add the video track");
    }
    in.stream->time_base = codec->time_base;
    in.stream->avg_frame_rate = codec->framerate;
    in.stream->r_frame_rate = codec->framerate;
    const int copied = avcodec_parameters_from_context(in.stream->codecpar, codec.get());
    if (copied < 0) {
        return failLocked("Could not set up the video track: " + avError(copied));
    }
    in.codec = std::move(codec);
    return true;
}

std::shared_ptr<EncoderFrame> FfmpegAssetWriter::makePooledFrame() {
    std::shared_ptr<FramePool> pool;
    {
        std::lock_guard lock(m_mutex);
        if (!m_video) {
            return nullptr;
        }
        pool = m_video->pool;
    }
    return pool->take();
}

bool FfmpegAssetWriter::appendVideo(std::shared_ptr<EncoderFrame> frame,
                                    MediaTime presentationTime) {
    auto* encoderFrame = dynamic_cast<FfmpegEncoderFrame*>(frame.get());
    const auto start = appendStart();
    // While writing, the inputs no longer change.
    if (!encoderFrame || !start || !m_video) {
        return false;
    }
    VideoInput& in = *m_video;
    if (in.finished || encoderFrame->width() != in.settings.width ||
        encoderFrame->height() != in.settings.height) {
        return false;
    }
    const MediaTime offset = presentationTime - *start;
    if (!offset.isValid()) {
        return false;
    }
    // The muxer needs strictly rising times.
    const std::int64_t pts = offset.convertScale(in.settings.mediaTimeScale).value;
    if (!fileStillThere(in, pts)) {
        return false;
    }
    {
        std::lock_guard queueLock(in.queueMutex);
        if (pts < 0 || pts <= in.lastQueuedPts || in.closed || !in.encoder.joinable()) {
            return false;
        }
        in.lastQueuedPts = pts;
        in.pool->noteQueued(1);
        in.queue.emplace_back(std::move(frame), pts);
    }
    in.queueChanged.notify_all();
    return true;
}

bool FfmpegAssetWriter::fileStillThere(VideoInput& in, std::int64_t pts) {
    // A removed file (its folder deleted) takes every write and keeps none of it: noticed within
    // a second, for one look at the file each second.
    if (pts < in.nextFileCheck.load(std::memory_order_relaxed)) {
        return true;
    }
    in.nextFileCheck.store(pts + in.settings.mediaTimeScale, std::memory_order_relaxed);
    if (!m_room.removed()) {
        return true;
    }
    std::lock_guard lock(m_mutex);
    return failLocked(removedMessage());
}

// The input's encoder thread: makes each queued picture and encodes it, in order.
void FfmpegAssetWriter::encodeQueuedVideo(VideoInput& in) {
    for (;;) {
        std::shared_ptr<EncoderFrame> frame;
        std::int64_t pts = 0;
        {
            std::unique_lock queueLock(in.queueMutex);
            in.queueChanged.wait(queueLock, [&] { return in.stopping || !in.queue.empty(); });
            if (in.stopping) {
                return;
            }
            std::tie(frame, pts) = std::move(in.queue.front());
            in.queue.pop_front();
            in.encoding = true;
        }
        auto& encoderFrame = static_cast<FfmpegEncoderFrame&>(*frame);
        if (encoderFrame.completePicture()) {
            std::lock_guard inputLock(in.mutex);
            if (!in.finished && in.codec) {
                encoderFrame.avFrame()->pts = pts;
                if (send(in.codec.get(), encoderFrame.avFrame(), "video")) {
                    in.lastPts = pts;
                    writePackets(in.codec.get(), in.stream, in.packet.get(), 1);
                }
            }
        }
        frame.reset();  // back to the pool before anyone hears the queue moved
        in.pool->noteQueued(-1);
        {
            std::lock_guard queueLock(in.queueMutex);
            in.encoding = false;
        }
        in.queueChanged.notify_all();
    }
}

// Refuses further appends and waits until everything queued is encoded.
void FfmpegAssetWriter::drainVideo(VideoInput& in) {
    std::unique_lock queueLock(in.queueMutex);
    in.closed = true;
    in.queueChanged.wait(queueLock, [&] {
        return !in.encoder.joinable() || in.stopping || (in.queue.empty() && !in.encoding);
    });
}

// Ends the encoder thread; what is still queued is dropped.
void FfmpegAssetWriter::stopVideoEncoder(VideoInput& in) {
    std::thread encoder;
    std::deque<std::pair<std::shared_ptr<EncoderFrame>, std::int64_t>> dropped;
    {
        std::lock_guard queueLock(in.queueMutex);
        in.closed = true;
        in.stopping = true;
        dropped.swap(in.queue);
        encoder = std::move(in.encoder);
    }
    in.queueChanged.notify_all();
    in.pool->noteQueued(-static_cast<int>(dropped.size()));
    dropped.clear();
    if (encoder.joinable()) {
        encoder.join();
    }
}

void FfmpegAssetWriter::markVideoAsFinished() {
    VideoInput* input = nullptr;
    {
        std::lock_guard lock(m_mutex);
        input = m_video.get();
    }
    if (!input) {
        return;
    }
    VideoInput& in = *input;
    drainVideo(in);
    std::lock_guard inputLock(in.mutex);
    if (in.finished.exchange(true) || !in.codec) {
        return;
    }
    if (send(in.codec.get(), nullptr, "video")) {
        writePackets(in.codec.get(), in.stream, in.packet.get(), 1);
    }
}

}  // namespace platform::ffmpeg
