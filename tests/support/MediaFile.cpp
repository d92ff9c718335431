#include "MediaFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <optional>

MediaFile::MediaFile(const std::string& path) {
    if (avformat_open_input(&m_format, path.c_str(), nullptr, nullptr) == 0) {
        avformat_find_stream_info(m_format, nullptr);
    }
}

MediaFile::~MediaFile() {
    avformat_close_input(&m_format);
}

const AVStream* MediaFile::stream(AVMediaType type) const {
    const int index = m_format ? av_find_best_stream(m_format, type, -1, -1, nullptr, 0) : -1;
    return index < 0 ? nullptr : m_format->streams[index];
}

void MediaFile::decode(AVMediaType type,
                       const std::function<void(const AVFrame&, double)>& onFrame) {
    const AVStream* stream = this->stream(type);
    ASSERT_TRUE(stream);
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> codec(
        avcodec_alloc_context3(avcodec_find_decoder(stream->codecpar->codec_id)),
        [](AVCodecContext* c) { avcodec_free_context(&c); });
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                          [](AVPacket* p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                       [](AVFrame* f) { av_frame_free(&f); });
    ASSERT_GE(avcodec_parameters_to_context(codec.get(), stream->codecpar), 0);
    codec->pkt_timebase = stream->time_base;
    ASSERT_EQ(avcodec_open2(codec.get(), nullptr, nullptr), 0);
    // Every pass reads the file from its start.
    ASSERT_GE(av_seek_frame(m_format, stream->index, 0, AVSEEK_FLAG_BACKWARD), 0);
    avformat_flush(m_format);
    const auto drain = [&] {
        while (avcodec_receive_frame(codec.get(), frame.get()) == 0) {
            onFrame(*frame, frame->best_effort_timestamp * av_q2d(stream->time_base));
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(m_format, packet.get()) >= 0) {
        if (packet->stream_index == stream->index) {
            avcodec_send_packet(codec.get(), packet.get());
            drain();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(codec.get(), nullptr);
    drain();
}

DecodedAudio decodeAudio(MediaFile& file) {
    DecodedAudio audio;
    bool first = true;
    file.decode(AVMEDIA_TYPE_AUDIO, [&](const AVFrame& frame, double t) {
        if (first) {
            audio.start = t;
            audio.sampleRate = frame.sample_rate;
            first = false;
        }
        const auto* data = reinterpret_cast<const float*>(frame.data[0]);
        audio.samples.insert(audio.samples.end(), data, data + frame.nb_samples);
    });
    return audio;
}

std::vector<std::pair<double, double>> quietStretches(const DecodedAudio& audio) {
    const auto block = static_cast<std::size_t>(audio.sampleRate / 400);
    std::vector<std::pair<double, bool>> changes;  // when, and loud from then on
    std::optional<bool> wasLoud;
    for (std::size_t at = 0; block > 0 && at + block <= audio.samples.size(); at += block) {
        float peak = 0;
        for (std::size_t i = at; i < at + block; ++i) {
            peak = std::max(peak, std::abs(audio.samples[i]));
        }
        const bool loud = peak > 0.05f;
        if (wasLoud && *wasLoud != loud) {
            changes.emplace_back(audio.start + static_cast<double>(at) / audio.sampleRate, loud);
        }
        wasLoud = loud;
    }
    std::vector<std::pair<double, double>> stretches;
    for (std::size_t i = 0; i + 1 < changes.size(); ++i) {
        if (!changes[i].second && changes[i + 1].second) {
            stretches.emplace_back(changes[i].first, changes[i + 1].first);
        }
    }
    return stretches;
}
