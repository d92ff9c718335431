#pragma once

// What the writer and its two inputs share; private to src/media.

#include "media/FfmpegAssetWriter.h"
#include "media/FileRoom.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
}

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace platform::ffmpeg {

std::string avError(int code);

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
    FramePool(int width, int height)
        : m_width(width),
          m_height(height),
          m_buffers(std::make_shared<PictureBuffers>(width, height)) {
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

    // A free frame. When every frame is out and some wait for the encoder, waits for one of
    // those to come back rather than fail: they come back as fast as the encoder works.
    std::shared_ptr<EncoderFrame> take();
    void* allocateBlock(std::size_t size);
    void freeBlock(void* block, std::size_t size);
    // Frames handed to the encoder and not yet encoded.
    void noteQueued(int change);

  private:
    void giveBack(FfmpegEncoderFrame* frame);

    // Frames are light (their pictures come from m_buffers when made): enough of them to wait
    // out an encoder that stalls for seconds, as x264 does while it fills its pipeline at 4K.
    static constexpr std::size_t kLimit = 300;
    const int m_width;
    const int m_height;
    const std::shared_ptr<PictureBuffers> m_buffers;
    std::mutex m_mutex;
    std::condition_variable m_returned;
    int m_queued = 0;
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

class FfmpegAssetWriter final : public AssetWriter {
  public:
    // `fd` is the file's own descriptor, beside libavformat's: the room kept for the file.
    FfmpegAssetWriter(std::string path, std::string preset, AVFormatContext* format, int fd)
        : m_path(std::move(path)), m_preset(std::move(preset)), m_format(format), m_room(fd) {}
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
        // Appends are queued for a thread of the input's own, which makes each picture and
        // encodes it: an append costs its caller nothing, so a clock that appends on time
        // stays on time however long one picture takes. Guarded by queueMutex.
        std::mutex queueMutex;
        std::condition_variable queueChanged;
        std::deque<std::pair<std::shared_ptr<EncoderFrame>, std::int64_t>> queue;
        std::int64_t lastQueuedPts = std::numeric_limits<std::int64_t>::min();
        std::atomic<std::int64_t> nextFileCheck{0};  // when the file is next looked at
        bool encoding = false;                       // the thread holds a frame
        bool closed = false;                         // no more appends
        bool stopping = false;                       // the thread ends, dropping what is queued
        std::thread encoder;
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
    void encodeQueuedVideo(VideoInput& in);
    void drainVideo(VideoInput& in);
    void stopVideoEncoder(VideoInput& in);
    // The session start when appends are accepted.
    std::optional<MediaTime> appendStart() const;
    bool writePackets(AVCodecContext* codec, AVStream* stream, AVPacket* packet,
                      std::int64_t duration);
    bool send(AVCodecContext* codec, const AVFrame* frame, const char* what);
    // 0 when the packet and, after it, the movie's index fit in the room held for the file; else
    // why they do not.
    int roomForLocked(const AVPacket& packet);
    // Ends the file while its index still fits: what was written so far stays playable.
    bool endForRoomLocked(int error);
    // Whether the file still has its name, looked at once a second of picture.
    bool fileStillThere(VideoInput& in, std::int64_t pts);
    std::string removedMessage() const;
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
    FileRoom m_room;
    std::int64_t m_samples = 0;  // packets in the file, either track
};

}  // namespace platform::ffmpeg
