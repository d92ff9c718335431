#include "media/FfmpegAssetWriterInternal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numeric>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace ffmpeg {

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

namespace {

// What the movie's index takes for a file of that many packets: a few bytes for each in each of
// its tables, counted generously (chunk offsets of eight bytes past 4 GiB, a table entry for
// every packet where the tracks interleave unevenly), and the boxes around them.
std::int64_t indexRoom(std::int64_t packets) {
    return 64 * 1024 + 32 * (packets + 1);
}

}  // namespace

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
    // The file's own clock must count both tracks' units exactly: a picture track that begins a
    // few slots late (the first slots left empty) starts after an empty edit, and on the default
    // millisecond clock that edit is cut short, moving every frame off its 1/30 s slot.
    std::int64_t movieScale = m_video ? m_video->settings.mediaTimeScale : 1;
    if (m_audio) {
        movieScale = std::lcm(movieScale, static_cast<std::int64_t>(m_audio->settings.sampleRate));
    }
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "movie_timescale", movieScale, 0);
    const int written = avformat_write_header(m_format, &options);
    av_dict_free(&options);
    if (written < 0) {
        return failLocked("Could not write the header of " + m_path + ": " + avError(written));
    }
    if (const int error = m_room.ensure(avio_tell(m_format->pb) + indexRoom(0)); error != 0) {
        return failLocked("Could not write to " + m_path + ": " + avError(AVERROR(error)));
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
        if (const int error = roomForLocked(*packet); error != 0) {
            av_packet_unref(packet);
            return endForRoomLocked(error);
        }
        // Written straight away rather than interleaved: a microphone track that gets no audio
        // (muted, no device) would otherwise hold every video packet back in the muxer.
        const int written = av_write_frame(m_format, packet);
        if (written < 0) {
            return failLocked("Could not write to " + m_path + ": " + avError(written));
        }
        ++m_samples;
    }
}

int FfmpegAssetWriter::roomForLocked(const AVPacket& packet) {
    return m_room.ensure(avio_tell(m_format->pb) + packet.size + indexRoom(m_samples + 1));
}

bool FfmpegAssetWriter::endForRoomLocked(int error) {
    // The packets still inside the encoders are lost with the ones that did not fit: a second or
    // so. The reason is the one a failed write gives, so the trader hears the same either way.
    const int trailer = av_write_trailer(m_format);
    closeFileLocked();
    std::string reason = "Could not write to " + m_path + ": " + avError(AVERROR(error));
    if (trailer < 0) {
        reason += " (nor finish it: " + avError(trailer) + ")";
    }
    return failLocked(std::move(reason));
}

std::string FfmpegAssetWriter::removedMessage() const {
    return "The file " + m_path + " was removed while recording";
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
    // Paused, the file is not looked at while recording; a file without a name is no movie.
    const bool removed = m_room.removed();
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
        } else if (m_status == AssetWriterStatus::writing && removed) {
            failLocked(removedMessage());
            closeFileLocked();
        } else if (m_status == AssetWriterStatus::writing) {
            const int trailer = av_write_trailer(m_format);
            const int closed = avio_closep(&m_format->pb);
            m_room.release();
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
        stopVideoEncoder(*video);
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
    m_room.release();
}

}  // namespace ffmpeg

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
        return std::unexpected("Could not set up an MP4 file for " + path + ": " +
                               ffmpeg::avError(made));
    }
    // Recordings show the trader's screen: the file is the user's alone, whatever the umask.
    // FFmpeg then opens the file that is already there and keeps its mode. This descriptor stays
    // open beside FFmpeg's: the writer holds disk room through it and sees the file removed.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::fchmod(fd, 0600) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        avformat_free_context(format);
        return std::unexpected("Could not open " + path + ": " + reason);
    }
    // The file: prefix keeps a name with a colon from reading as a protocol.
    const int opened = avio_open(&format->pb, ("file:" + path).c_str(), AVIO_FLAG_WRITE);
    if (opened < 0) {
        ::close(fd);
        avformat_free_context(format);
        return std::unexpected("Could not open " + path + ": " + ffmpeg::avError(opened));
    }
    return std::make_unique<ffmpeg::FfmpegAssetWriter>(path, x264Preset, format, fd);
}

std::expected<std::unique_ptr<AssetWriter>, std::string> makeFfmpegAssetWriter(
    const std::string& path) {
    return makeFfmpegAssetWriterWithPreset(path, defaultX264Preset());
}

}  // namespace platform
