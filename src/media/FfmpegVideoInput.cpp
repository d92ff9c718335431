#include "media/FfmpegAssetWriterInternal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <limits>

namespace platform::ffmpeg {

std::shared_ptr<EncoderFrame> FramePool::take() {
    FfmpegEncoderFrame* frame = nullptr;
    {
        std::lock_guard lock(m_mutex);
        if (!m_free.empty()) {
            frame = m_free.back();
            m_free.pop_back();
        } else if (m_frames.size() < kLimit) {
            auto made = FfmpegEncoderFrame::create(m_width, m_height);
            if (!made) {
                return nullptr;
            }
            frame = made.get();
            m_frames.push_back(std::move(made));
        } else {
            return nullptr;
        }
    }
    // The encoder may still reference the buffers of a frame handed back; it then gets a copy.
    if (av_frame_make_writable(frame->avFrame()) < 0) {
        giveBack(frame);
        return nullptr;
    }
    auto self = shared_from_this();
    return std::shared_ptr<EncoderFrame>(
        frame, [self](FfmpegEncoderFrame* returned) { self->giveBack(returned); },
        PoolAllocator<EncoderFrame>(self));
}

void FramePool::giveBack(FfmpegEncoderFrame* frame) {
    std::lock_guard lock(m_mutex);
    m_free.push_back(frame);
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
    codec->width = s.width;
    codec->height = s.height;
    codec->pix_fmt = AV_PIX_FMT_YUV420P;
    // One tick per frame.
    codec->time_base = AVRational{1, s.mediaTimeScale};
    codec->framerate = AVRational{s.mediaTimeScale, 1};
    codec->bit_rate = s.averageBitRate;
    // A VBV of two seconds at twice the average keeps the average without starving busy scenes.
    codec->rc_max_rate = 2 * s.averageBitRate;
    codec->rc_buffer_size = static_cast<int>(
        std::min<std::int64_t>(2 * s.averageBitRate, std::numeric_limits<int>::max()));
    codec->gop_size = s.maxKeyFrameInterval;
    codec->max_b_frames = 0;
    codec->thread_count = 0;
    codec->color_range = AVCOL_RANGE_MPEG;
    codec->colorspace = AVCOL_SPC_BT709;
    codec->color_primaries = AVCOL_PRI_BT709;
    codec->color_trc = AVCOL_TRC_BT709;
    if (m_format->oformat->flags & AVFMT_GLOBALHEADER) {
        codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", m_preset.c_str(), 0);
    av_dict_set(&options, "profile", "high", 0);
    // Fast presets turn CABAC and the 8x8 transform off; x264 only signals High with the latter.
    av_dict_set(&options, "x264-params", "cabac=1:8x8dct=1", 0);
    const int opened = avcodec_open2(codec.get(), encoder, &options);
    av_dict_free(&options);
    if (opened < 0) {
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
    std::lock_guard inputLock(in.mutex);
    if (in.finished || !in.codec || encoderFrame->width() != in.settings.width ||
        encoderFrame->height() != in.settings.height) {
        return false;
    }
    const MediaTime offset = presentationTime - *start;
    if (!offset.isValid()) {
        return false;
    }
    // The muxer needs strictly rising times.
    const std::int64_t pts = offset.convertScale(in.settings.mediaTimeScale).value;
    if (pts < 0 || pts <= in.lastPts) {
        return false;
    }
    encoderFrame->avFrame()->pts = pts;
    if (!send(in.codec.get(), encoderFrame->avFrame(), "video")) {
        return false;
    }
    in.lastPts = pts;
    return writePackets(in.codec.get(), in.stream, in.packet.get(), 1);
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
    std::lock_guard inputLock(in.mutex);
    if (in.finished.exchange(true) || !in.codec) {
        return;
    }
    if (send(in.codec.get(), nullptr, "video")) {
        writePackets(in.codec.get(), in.stream, in.packet.get(), 1);
    }
}

}  // namespace platform::ffmpeg
