#include "media/FfmpegAssetWriterInternal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>

namespace platform::ffmpeg {

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

}  // namespace platform::ffmpeg
