#include "media/FfmpegAssetWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

struct CodecDeleter {
    void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct FifoDeleter {
    void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using FifoPtr = std::unique_ptr<AVAudioFifo, FifoDeleter>;

// The video input's frames. A handed-out frame returns when its last reference goes. The
// shared_ptr control blocks are recycled as well, so a warm pool allocates nothing per frame;
// every block and deleter holds the pool, which therefore outlives its frames.
class FramePool : public std::enable_shared_from_this<FramePool> {
  public:
    FramePool(int width, int height) : m_width(width), m_height(height) {
        m_free.reserve(kLimit);
        m_blocks.reserve(kLimit);
    }
    ~FramePool() {
        for (void* block : m_blocks) {
            ::operator delete(block);
        }
    }
    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;

    std::shared_ptr<EncoderFrame> take();
    void* allocateBlock(std::size_t size);
    void freeBlock(void* block, std::size_t size);

  private:
    void giveBack(FfmpegEncoderFrame* frame);

    static constexpr std::size_t kLimit = 6;
    const int m_width;
    const int m_height;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<FfmpegEncoderFrame>> m_frames;
    std::vector<FfmpegEncoderFrame*> m_free;
    std::vector<void*> m_blocks;
    std::size_t m_blockSize = 0;
};

template <class T>
struct PoolAllocator {
    using value_type = T;
    explicit PoolAllocator(std::shared_ptr<FramePool> owner) : pool(std::move(owner)) {}
    template <class U>
    PoolAllocator(const PoolAllocator<U>& other) : pool(other.pool) {}
    T* allocate(std::size_t n) { return static_cast<T*>(pool->allocateBlock(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) { pool->freeBlock(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const PoolAllocator<U>& other) const {
        return pool == other.pool;
    }
    std::shared_ptr<FramePool> pool;
};

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

class FfmpegAssetWriter final : public AssetWriter {
  public:
    FfmpegAssetWriter(std::string path, std::string preset, AVFormatContext* format)
        : m_path(std::move(path)), m_preset(std::move(preset)), m_format(format) {}
    ~FfmpegAssetWriter() override;
    FfmpegAssetWriter(const FfmpegAssetWriter&) = delete;
    FfmpegAssetWriter& operator=(const FfmpegAssetWriter&) = delete;

    const std::string& path() const override { return m_path; }
    bool canAddVideoInput() const override;
    bool addVideoInput(const VideoOutputSettings& settings) override;
    bool canAddAudioInput() const override;
    bool addAudioInput(const AudioOutputSettings& settings) override;
    bool hasVideoInput() const override;
    bool hasAudioInput() const override;

    bool startWriting() override;
    void startSession(MediaTime sourceTime) override;
    AssetWriterStatus status() const override;
    std::optional<std::string> error() const override;

    bool isVideoReadyForMoreMediaData() const override;
    bool isAudioReadyForMoreMediaData() const override;

    std::shared_ptr<EncoderFrame> makePooledFrame() override;
    std::unique_ptr<FrameCompositor> makeCompositor() override {
        return makeFfmpegFrameCompositor();
    }
    bool appendVideo(std::shared_ptr<EncoderFrame> frame, MediaTime presentationTime) override;
    bool appendAudio(const float* samples, int frameCount, MediaTime presentationTime) override;

    void markVideoAsFinished() override;
    void markAudioAsFinished() override;
    void finishWriting(std::function<void()> completion) override;
    void cancelWriting() override;

  private:
    // Each input's mutex guards its encoder and is held while it encodes; m_mutex guards the
    // muxer and the status and is always taken after an input's mutex, never before.
    struct VideoInput {
        VideoOutputSettings settings;
        std::mutex mutex;
        CodecPtr codec;
        PacketPtr packet;
        AVStream* stream = nullptr;
        std::int64_t lastPts = std::numeric_limits<std::int64_t>::min();
        std::atomic<bool> finished{false};
        std::shared_ptr<FramePool> pool;
    };
    struct AudioInput {
        AudioOutputSettings settings;
        std::mutex mutex;
        CodecPtr codec;
        PacketPtr packet;
        FramePtr frame;
        FifoPtr fifo;  // interleaved samples waiting for a whole encoder frame
        AVStream* stream = nullptr;
        std::vector<float> silence;
        std::vector<float> interleaved;
        std::int64_t end = 0;      // samples laid on the timeline so far
        std::int64_t encoded = 0;  // samples handed to the encoder so far
        std::atomic<bool> finished{false};
    };

    bool failLocked(std::string message);
    bool openVideoLocked();
    bool openAudioLocked();
    // The session start when appends are accepted.
    std::optional<MediaTime> appendStart() const;
    bool writePackets(AVCodecContext* codec, AVStream* stream, AVPacket* packet,
                      std::int64_t duration);
    bool send(AVCodecContext* codec, const AVFrame* frame, const char* what);
    bool queueAudio(AudioInput& in, const float* samples, std::int64_t count);
    bool encodeAudio(AudioInput& in, bool finishing);
    void releaseEncoders();
    void closeFileLocked();

    const std::string m_path;
    const std::string m_preset;
    mutable std::mutex m_mutex;
    AVFormatContext* m_format;
    AssetWriterStatus m_status = AssetWriterStatus::unknown;
    std::optional<std::string> m_error;
    std::optional<MediaTime> m_sessionStart;
    std::unique_ptr<VideoInput> m_video;
    std::unique_ptr<AudioInput> m_audio;
};

FfmpegAssetWriter::~FfmpegAssetWriter() {
    const auto status = this->status();
    if (status == AssetWriterStatus::unknown || status == AssetWriterStatus::writing) {
        cancelWriting();
    }
    releaseEncoders();
    std::lock_guard lock(m_mutex);
    closeFileLocked();
    avformat_free_context(m_format);
}

bool FfmpegAssetWriter::failLocked(std::string message) {
    if (m_status == AssetWriterStatus::unknown || m_status == AssetWriterStatus::writing) {
        m_status = AssetWriterStatus::failed;
        m_error = std::move(message);
    }
    return false;
}

bool FfmpegAssetWriter::canAddVideoInput() const {
    std::lock_guard lock(m_mutex);
    return m_status == AssetWriterStatus::unknown && !m_video;
}

bool FfmpegAssetWriter::addVideoInput(const VideoOutputSettings& settings) {
    std::lock_guard lock(m_mutex);
    // x264 needs even sizes for 4:2:0.
    if (m_status != AssetWriterStatus::unknown || m_video || settings.width <= 0 ||
        settings.height <= 0 || settings.width % 2 != 0 || settings.height % 2 != 0 ||
        settings.mediaTimeScale <= 0 || settings.averageBitRate <= 0 ||
        settings.maxKeyFrameInterval <= 0) {
        return false;
    }
    m_video = std::make_unique<VideoInput>();
    m_video->settings = settings;
    m_video->pool = std::make_shared<FramePool>(settings.width, settings.height);
    return true;
}

bool FfmpegAssetWriter::canAddAudioInput() const {
    std::lock_guard lock(m_mutex);
    return m_status == AssetWriterStatus::unknown && !m_audio;
}

bool FfmpegAssetWriter::addAudioInput(const AudioOutputSettings& settings) {
    std::lock_guard lock(m_mutex);
    if (m_status != AssetWriterStatus::unknown || m_audio || settings.sampleRate <= 0 ||
        settings.channels <= 0 || settings.bitRate <= 0) {
        return false;
    }
    m_audio = std::make_unique<AudioInput>();
    m_audio->settings = settings;
    return true;
}

bool FfmpegAssetWriter::hasVideoInput() const {
    std::lock_guard lock(m_mutex);
    return m_video != nullptr;
}

bool FfmpegAssetWriter::hasAudioInput() const {
    std::lock_guard lock(m_mutex);
    return m_audio != nullptr;
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

bool FfmpegAssetWriter::openAudioLocked() {
    AudioInput& in = *m_audio;
    const AudioOutputSettings& s = in.settings;
    const AVCodec* encoder = avcodec_find_encoder_by_name("aac");
    if (!encoder) {
        return failLocked("The AAC encoder is not available");
    }
    CodecPtr codec(avcodec_alloc_context3(encoder));
    in.packet.reset(av_packet_alloc());
    in.frame.reset(av_frame_alloc());
    if (!codec || !in.packet || !in.frame) {
        return failLocked("Could not set up the AAC encoder: out of memory");
    }
    codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
    codec->sample_rate = s.sampleRate;
    av_channel_layout_default(&codec->ch_layout, s.channels);
    codec->bit_rate = s.bitRate;
    codec->profile = FF_PROFILE_AAC_LOW;
    codec->time_base = AVRational{1, s.sampleRate};
    if (m_format->oformat->flags & AVFMT_GLOBALHEADER) {
        codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    const int opened = avcodec_open2(codec.get(), encoder, nullptr);
    if (opened < 0) {
        return failLocked("Could not open the AAC encoder: " + avError(opened));
    }
    const int frameSize = codec->frame_size;
    AVFrame* frame = in.frame.get();
    frame->format = codec->sample_fmt;
    frame->sample_rate = codec->sample_rate;
    frame->nb_samples = frameSize;
    int made = av_channel_layout_copy(&frame->ch_layout, &codec->ch_layout);
    if (made >= 0) {
        made = av_frame_get_buffer(frame, 0);
    }
    // Appends are cut into pieces of at most one frame, so two frames always suffice.
    in.fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLT, s.channels, 2 * frameSize));
    if (made < 0 || !in.fifo) {
        return failLocked("Could not set up the AAC encoder: out of memory");
    }
    const auto frameValues = static_cast<std::size_t>(frameSize) * s.channels;
    in.silence.assign(frameValues, 0.0f);
    in.interleaved.assign(s.channels > 1 ? frameValues : 0, 0.0f);
    in.stream = avformat_new_stream(m_format, nullptr);
    if (!in.stream) {
        return failLocked("Could not add the audio track");
    }
    in.stream->time_base = codec->time_base;
    const int copied = avcodec_parameters_from_context(in.stream->codecpar, codec.get());
    if (copied < 0) {
        return failLocked("Could not set up the audio track: " + avError(copied));
    }
    in.codec = std::move(codec);
    return true;
}

bool FfmpegAssetWriter::startWriting() {
    std::lock_guard lock(m_mutex);
    if (m_status != AssetWriterStatus::unknown) {
        if (!m_error) {
            m_error = "The writer was already started";
        }
        return false;
    }
    if (!m_video && !m_audio) {
        return failLocked("The writer has no inputs");
    }
    if ((m_video && !openVideoLocked()) || (m_audio && !openAudioLocked())) {
        return false;
    }
    const int written = avformat_write_header(m_format, nullptr);
    if (written < 0) {
        return failLocked("Could not write the header of " + m_path + ": " + avError(written));
    }
    m_status = AssetWriterStatus::writing;
    return true;
}

void FfmpegAssetWriter::startSession(MediaTime sourceTime) {
    std::lock_guard lock(m_mutex);
    m_sessionStart = sourceTime;
}

AssetWriterStatus FfmpegAssetWriter::status() const {
    std::lock_guard lock(m_mutex);
    return m_status;
}

std::optional<std::string> FfmpegAssetWriter::error() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

bool FfmpegAssetWriter::isVideoReadyForMoreMediaData() const {
    std::lock_guard lock(m_mutex);
    return m_status == AssetWriterStatus::writing && m_video && !m_video->finished;
}

bool FfmpegAssetWriter::isAudioReadyForMoreMediaData() const {
    std::lock_guard lock(m_mutex);
    return m_status == AssetWriterStatus::writing && m_audio && !m_audio->finished;
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

std::optional<MediaTime> FfmpegAssetWriter::appendStart() const {
    std::lock_guard lock(m_mutex);
    if (m_status != AssetWriterStatus::writing || !m_sessionStart || !m_sessionStart->isValid()) {
        return std::nullopt;
    }
    return m_sessionStart;
}

bool FfmpegAssetWriter::send(AVCodecContext* codec, const AVFrame* frame, const char* what) {
    const int sent = avcodec_send_frame(codec, frame);
    if (sent < 0 && sent != AVERROR_EOF) {
        std::lock_guard lock(m_mutex);
        return failLocked(std::string("Could not encode ") + what + ": " + avError(sent));
    }
    return true;
}

bool FfmpegAssetWriter::writePackets(AVCodecContext* codec, AVStream* stream, AVPacket* packet,
                                     std::int64_t duration) {
    for (;;) {
        const int received = avcodec_receive_packet(codec, packet);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
            return true;
        }
        std::lock_guard lock(m_mutex);
        if (received < 0) {
            return failLocked("Could not encode: " + avError(received));
        }
        if (m_status != AssetWriterStatus::writing) {
            av_packet_unref(packet);
            return false;
        }
        // libx264 leaves durations unset; the last one gives the track its length.
        if (duration > 0) {
            packet->duration = duration;
        }
        av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
        packet->stream_index = stream->index;
        // Written straight away rather than interleaved: a microphone track that gets no audio
        // (muted, no device) would otherwise hold every video packet back in the muxer.
        const int written = av_write_frame(m_format, packet);
        if (written < 0) {
            return failLocked("Could not write to " + m_path + ": " + avError(written));
        }
    }
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

bool FfmpegAssetWriter::appendAudio(const float* samples, int frameCount,
                                    MediaTime presentationTime) {
    const auto start = appendStart();
    if (!samples || frameCount < 0 || !start || !m_audio) {
        return false;
    }
    AudioInput& in = *m_audio;
    std::lock_guard inputLock(in.mutex);
    if (in.finished || !in.codec) {
        return false;
    }
    const MediaTime offset = presentationTime - *start;
    if (!offset.isValid()) {
        return false;
    }
    const int rate = in.settings.sampleRate;
    const std::int64_t gap = offset.convertScale(rate).value - in.end;
    // Capture times jitter by a few samples; only a real gap or overlap moves the audio.
    const std::int64_t tolerance = rate / 2000;
    std::int64_t count = frameCount;
    if (gap > tolerance) {
        if (!queueAudio(in, nullptr, gap)) {
            return false;
        }
    } else if (gap < -tolerance) {
        const std::int64_t overlap = std::min(-gap, count);
        samples += overlap * in.settings.channels;
        count -= overlap;
    }
    return queueAudio(in, samples, count);
}

// Lays samples (silence when null) on the timeline, encoding each whole frame as it fills.
bool FfmpegAssetWriter::queueAudio(AudioInput& in, const float* samples, std::int64_t count) {
    const int frameSize = in.codec->frame_size;
    while (count > 0) {
        const int piece = static_cast<int>(std::min<std::int64_t>(count, frameSize));
        void* data = const_cast<float*>(samples ? samples : in.silence.data());
        if (av_audio_fifo_write(in.fifo.get(), &data, piece) < piece) {
            std::lock_guard lock(m_mutex);
            return failLocked("Could not queue audio: out of memory");
        }
        in.end += piece;
        count -= piece;
        if (samples) {
            samples += static_cast<std::ptrdiff_t>(piece) * in.settings.channels;
        }
        if (!encodeAudio(in, false)) {
            return false;
        }
    }
    return true;
}

// Encodes every whole frame waiting; when finishing, the remainder too.
bool FfmpegAssetWriter::encodeAudio(AudioInput& in, bool finishing) {
    AVCodecContext* codec = in.codec.get();
    AVFrame* frame = in.frame.get();
    const int frameSize = codec->frame_size;
    const int channels = in.settings.channels;
    for (;;) {
        const int queued = av_audio_fifo_size(in.fifo.get());
        if (queued == 0 || (queued < frameSize && !finishing)) {
            return true;
        }
        frame->nb_samples = frameSize;
        if (av_frame_make_writable(frame) < 0) {
            std::lock_guard lock(m_mutex);
            return failLocked("Could not encode audio: out of memory");
        }
        const int count = std::min(queued, frameSize);
        if (channels == 1) {
            // Mono interleaved and planar are the same layout.
            av_audio_fifo_read(in.fifo.get(), reinterpret_cast<void**>(frame->extended_data),
                               count);
        } else {
            void* data = in.interleaved.data();
            av_audio_fifo_read(in.fifo.get(), &data, count);
            for (int c = 0; c < channels; ++c) {
                auto* plane = reinterpret_cast<float*>(frame->extended_data[c]);
                for (int i = 0; i < count; ++i) {
                    plane[i] = in.interleaved[static_cast<std::size_t>(i) * channels + c];
                }
            }
        }
        // The last frame may be short when the encoder allows; otherwise it is padded.
        if (count < frameSize && !(codec->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME)) {
            for (int c = 0; c < channels; ++c) {
                auto* plane = reinterpret_cast<float*>(frame->extended_data[c]);
                std::fill(plane + count, plane + frameSize, 0.0f);
            }
        } else {
            frame->nb_samples = count;
        }
        frame->pts = in.encoded;
        in.encoded += frame->nb_samples;
        if (!send(codec, frame, "audio") || !writePackets(codec, in.stream, in.packet.get(), 0)) {
            return false;
        }
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
    std::lock_guard inputLock(in.mutex);
    if (in.finished.exchange(true) || !in.codec) {
        return;
    }
    if (send(in.codec.get(), nullptr, "video")) {
        writePackets(in.codec.get(), in.stream, in.packet.get(), 1);
    }
}

void FfmpegAssetWriter::markAudioAsFinished() {
    AudioInput* input = nullptr;
    VideoInput* video = nullptr;
    {
        std::lock_guard lock(m_mutex);
        input = m_audio.get();
        video = m_video.get();
    }
    if (!input) {
        return;
    }
    // Where the picture ends: the audio is carried on to there with silence, so both tracks end
    // together (the microphone stops a buffer or so before the last frame).
    std::optional<MediaTime> videoEnd;
    if (video) {
        std::lock_guard videoLock(video->mutex);
        if (video->lastPts >= 0) {
            videoEnd = MediaTime(video->lastPts + 1, video->settings.mediaTimeScale);
        }
    }
    AudioInput& in = *input;
    std::lock_guard inputLock(in.mutex);
    if (in.finished.exchange(true) || !in.codec) {
        return;
    }
    if (videoEnd) {
        const std::int64_t end = videoEnd->convertScale(in.settings.sampleRate).value;
        if (end > in.end) {
            queueAudio(in, nullptr, end - in.end);
        }
    }
    if (encodeAudio(in, true) && send(in.codec.get(), nullptr, "audio")) {
        writePackets(in.codec.get(), in.stream, in.packet.get(), 0);
    }
}

void FfmpegAssetWriter::finishWriting(std::function<void()> completion) {
    markVideoAsFinished();
    markAudioAsFinished();
    releaseEncoders();
    bool hasPicture = true;
    if (m_video) {
        std::lock_guard inputLock(m_video->mutex);
        hasPicture = m_video->lastPts != std::numeric_limits<std::int64_t>::min();
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_status == AssetWriterStatus::unknown ||
            (m_status == AssetWriterStatus::writing && !hasPicture)) {
            // Nothing was written, or a video file without a single picture (the muxer would
            // leave the empty track out): either way no movie.
            failLocked(m_status == AssetWriterStatus::unknown ? "Writing never started"
                                                              : "No picture was recorded");
            closeFileLocked();
            std::error_code ignored;
            std::filesystem::remove(m_path, ignored);
        } else if (m_status == AssetWriterStatus::writing) {
            const int trailer = av_write_trailer(m_format);
            const int closed = avio_closep(&m_format->pb);
            if (trailer < 0) {
                failLocked("Could not finish " + m_path + ": " + avError(trailer));
            } else if (closed < 0) {
                failLocked("Could not close " + m_path + ": " + avError(closed));
            } else {
                m_status = AssetWriterStatus::completed;
            }
        } else {
            closeFileLocked();
        }
    }
    if (completion) {
        completion();
    }
}

void FfmpegAssetWriter::cancelWriting() {
    releaseEncoders();
    std::lock_guard lock(m_mutex);
    if (m_status == AssetWriterStatus::completed || m_status == AssetWriterStatus::cancelled) {
        return;
    }
    closeFileLocked();
    std::error_code ignored;
    std::filesystem::remove(m_path, ignored);
    m_status = AssetWriterStatus::cancelled;
}

// Waits for an encode in progress, then frees the encoders (x264 holds a lot of memory).
void FfmpegAssetWriter::releaseEncoders() {
    VideoInput* video = nullptr;
    AudioInput* audio = nullptr;
    {
        std::lock_guard lock(m_mutex);
        video = m_video.get();
        audio = m_audio.get();
    }
    if (video) {
        std::lock_guard inputLock(video->mutex);
        video->finished = true;
        video->codec.reset();
        video->packet.reset();
    }
    if (audio) {
        std::lock_guard inputLock(audio->mutex);
        audio->finished = true;
        audio->codec.reset();
        audio->packet.reset();
        audio->frame.reset();
        audio->fifo.reset();
    }
}

void FfmpegAssetWriter::closeFileLocked() {
    if (m_format->pb) {
        avio_closep(&m_format->pb);
    }
}

}  // namespace

std::string defaultX264Preset() {
    const char* chosen = std::getenv("KORVANE_X264_PRESET");
    return chosen && *chosen ? chosen : "veryfast";
}

std::expected<std::unique_ptr<AssetWriter>, std::string> makeFfmpegAssetWriterWithPreset(
    const std::string& path, const std::string& x264Preset) {
    // The encoders' statistics would fill the terminal at every file; keep real errors only.
    static std::once_flag quiet;
    std::call_once(quiet, [] {
        av_log_set_level(AV_LOG_ERROR);
        // Encoded packets come in sizes that change all the time. Once glibc has raised its
        // mmap threshold (it does after the first large free), they are cut from the heap
        // instead and fragment it: an hour of recording would grow by hundreds of megabytes.
        // A fixed threshold keeps large buffers in their own mappings.
        mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    });
    AVFormatContext* format = nullptr;
    const int made = avformat_alloc_output_context2(&format, nullptr, "mp4", path.c_str());
    if (made < 0 || !format) {
        return std::unexpected("Could not set up an MP4 file for " + path + ": " + avError(made));
    }
    // Recordings show the trader's screen: the file is the user's alone, whatever the umask.
    // FFmpeg then opens the file that is already there and keeps its mode.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::fchmod(fd, 0600) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        avformat_free_context(format);
        return std::unexpected("Could not open " + path + ": " + reason);
    }
    ::close(fd);
    // The file: prefix keeps a name with a colon from reading as a protocol.
    const int opened = avio_open(&format->pb, ("file:" + path).c_str(), AVIO_FLAG_WRITE);
    if (opened < 0) {
        avformat_free_context(format);
        return std::unexpected("Could not open " + path + ": " + avError(opened));
    }
    return std::make_unique<FfmpegAssetWriter>(path, x264Preset, format);
}

std::expected<std::unique_ptr<AssetWriter>, std::string> makeFfmpegAssetWriter(
    const std::string& path) {
    return makeFfmpegAssetWriterWithPreset(path, defaultX264Preset());
}

}  // namespace platform
