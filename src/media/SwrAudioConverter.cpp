#include "media/SwrAudioConverter.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <cmath>
#include <vector>

namespace platform {

namespace {

AVSampleFormat avFormat(SampleType type) {
    switch (type) {
        case SampleType::float32:
            return AV_SAMPLE_FMT_FLT;
        case SampleType::int16:
            return AV_SAMPLE_FMT_S16;
        case SampleType::int32:
            return AV_SAMPLE_FMT_S32;
        case SampleType::other:
            break;
    }
    return AV_SAMPLE_FMT_NONE;
}

bool supported(const AudioFormat& format) {
    // Several channels must be interleaved: PcmBuffer holds one packed block.
    return avFormat(format.sampleType) != AV_SAMPLE_FMT_NONE && format.channels >= 1 &&
           format.sampleRate > 0 && std::lround(format.sampleRate) > 0 &&
           (format.interleaved || format.channels == 1);
}

class SwrAudioConverter final : public AudioConverter {
  public:
    SwrAudioConverter(const AudioFormat& from, const AudioFormat& to) : m_from(from), m_to(to) {}

    ~SwrAudioConverter() override { swr_free(&m_swr); }

    bool init() {
        AVChannelLayout in{};
        AVChannelLayout out{};
        av_channel_layout_default(&in, m_from.channels);
        av_channel_layout_default(&out, m_to.channels);
        const int result = swr_alloc_set_opts2(
            &m_swr, &out, avFormat(m_to.sampleType), static_cast<int>(std::lround(m_to.sampleRate)),
            &in, avFormat(m_from.sampleType), static_cast<int>(std::lround(m_from.sampleRate)), 0,
            nullptr);
        av_channel_layout_uninit(&in);
        av_channel_layout_uninit(&out);
        if (result < 0 || !m_swr) {
            return false;
        }
        if (m_from.channels != m_to.channels && !setMatrix()) {
            return false;
        }
        return swr_init(m_swr) >= 0;
    }

    std::expected<void, std::string> convert(PcmBuffer& output, const InputBlock& input) override {
        output.frameLength = 0;
        if (output.format != m_to || output.frameCapacity <= 0 ||
            output.data.size() < static_cast<size_t>(output.frameCapacity) * m_to.bytesPerFrame()) {
            return std::unexpected("the output buffer does not match the converter's format");
        }
        const PcmBuffer* buffer = nullptr;
        const InputStatus status = input(&buffer);
        // A non-null input with no frames drains what the resampler holds; null would flush its
        // tail.
        const std::uint8_t* in = &m_drainMarker;
        int inFrames = 0;
        if (status == InputStatus::haveData && buffer) {
            if (buffer->format != m_from || buffer->frameLength < 0 ||
                buffer->frameLength > buffer->frameCapacity) {
                return std::unexpected("the input buffer does not match the converter's format");
            }
            in = buffer->data.empty() ? &m_drainMarker : buffer->data.data();
            inFrames = buffer->frameLength;
        } else if (status == InputStatus::endOfStream) {
            in = nullptr;
        }
        std::uint8_t* out = output.data.data();
        const std::uint8_t* inPlanes[1] = {in};
        const int converted =
            swr_convert(m_swr, &out, output.frameCapacity, in ? inPlanes : nullptr, inFrames);
        if (converted < 0) {
            return std::unexpected("the sample converter failed");
        }
        output.frameLength = converted;
        return {};
    }

  private:
    // To mono: the plain average of the inputs, so a full-scale signal stays full scale and never
    // clips (swr's own matrix gives each side 0.707 for float output). From mono: every output
    // channel carries the input unchanged. Otherwise swr's matrix, normalised to never clip.
    bool setMatrix() {
        const int ins = m_from.channels;
        const int outs = m_to.channels;
        if (outs != 1 && ins != 1) {
            return av_opt_set_double(m_swr, "rematrix_maxval", 1.0, 0) >= 0;
        }
        std::vector<double> matrix(static_cast<size_t>(ins * outs), outs == 1 ? 1.0 / ins : 1.0);
        return swr_set_matrix(m_swr, matrix.data(), ins) >= 0;
    }

    const AudioFormat m_from;
    const AudioFormat m_to;
    SwrContext* m_swr = nullptr;
    std::uint8_t m_drainMarker = 0;
};

}  // namespace

std::unique_ptr<AudioConverter> makeAudioConverter(const AudioFormat& from, const AudioFormat& to) {
    if (!supported(from) || !supported(to)) {
        return nullptr;
    }
    auto converter = std::make_unique<SwrAudioConverter>(from, to);
    if (!converter->init()) {
        return nullptr;
    }
    return converter;
}

}  // namespace platform
