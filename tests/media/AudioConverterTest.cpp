#include "media/Fft.h"
#include "media/SwrAudioConverter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <ranges>

using platform::AudioConverter;
using platform::AudioFormat;
using platform::PcmBuffer;
using platform::SampleType;

namespace {

const AudioFormat kMono48k{SampleType::float32, 48'000.0, 1, true};

// Frames [start, start + frames) of a sine of the given peak (1 = full scale), same on every
// channel.
PcmBuffer sine(const AudioFormat& format, long start, int frames, double hz, double peak) {
    PcmBuffer buffer(format, frames);
    buffer.frameLength = frames;
    for (int i = 0; i < frames; ++i) {
        const double v =
            peak * std::sin(2 * std::numbers::pi * hz * double(start + i) / format.sampleRate);
        for (int c = 0; c < format.channels; ++c) {
            const size_t at = size_t(i) * format.channels + c;
            if (format.sampleType == SampleType::int16) {
                const auto s = static_cast<std::int16_t>(std::lround(v * 32767));
                std::memcpy(buffer.data.data() + at * 2, &s, 2);
            } else if (format.sampleType == SampleType::int32) {
                const auto s = static_cast<std::int32_t>(std::llround(v * 2147483647.0));
                std::memcpy(buffer.data.data() + at * 4, &s, 4);
            } else {
                buffer.floatData()[at] = static_cast<float>(v);
            }
        }
    }
    return buffer;
}

// Hands over one buffer, then says there is nothing more for now.
AudioConverter::InputBlock once(const PcmBuffer& buffer) {
    return [&buffer, given = false](const PcmBuffer** out) mutable {
        if (given) {
            return AudioConverter::InputStatus::noDataNow;
        }
        given = true;
        *out = &buffer;
        return AudioConverter::InputStatus::haveData;
    };
}

// Streams `seconds` of a sine through the converter in 1024-frame buffers.
std::vector<float> convertStream(const AudioFormat& from, double hz, double peak, double seconds) {
    auto converter = platform::makeAudioConverter(from, kMono48k);
    EXPECT_NE(converter, nullptr);
    if (!converter) {
        return {};
    }
    std::vector<float> result;
    PcmBuffer output(kMono48k, 4096);
    const long total = std::lround(seconds * from.sampleRate);
    for (long at = 0; at < total; at += 1024) {
        const PcmBuffer input = sine(from, at, 1024, hz, peak);
        EXPECT_TRUE(converter->convert(output, once(input)).has_value());
        result.insert(result.end(), output.floatData(), output.floatData() + output.frameLength);
    }
    return result;
}

double dominantHz(const std::vector<float>& samples, double rate) {
    constexpr int n = 8192;
    const auto magnitudes =
        platform::realFftMagnitudes(samples.data() + samples.size() / 2 - n / 2, n);
    const auto peak = std::ranges::max_element(magnitudes) - magnitudes.begin();
    return double(peak) * rate / n;
}

// Past the resampler's start-up.
float peakOf(const std::vector<float>& samples) {
    return std::ranges::max(samples | std::views::drop(1000) |
                            std::views::transform([](float v) { return std::abs(v); }));
}

}  // namespace

TEST(AudioConverterTest, EveryInputTypeBecomesMono48kWithToneLevelAndLengthKept) {
    struct Case {
        AudioFormat from;
        double peak;
    };
    // Full scale on both sides of a stereo input: the downmix averages, so it stays full scale,
    // neither clipped nor halved.
    const Case cases[] = {{{SampleType::int16, 44'100.0, 2, true}, 1.0},
                          {{SampleType::int32, 48'000.0, 2, true}, 0.5},
                          {{SampleType::float32, 44'100.0, 1, true}, 0.5},
                          {{SampleType::float32, 96'000.0, 2, true}, 0.5}};
    for (const auto& [from, peak] : cases) {
        SCOPED_TRACE(testing::Message()
                     << "rate " << from.sampleRate << " channels " << from.channels);
        const auto out = convertStream(from, 1000.0, peak, 10.0);
        // Every input frame yields its share of output; only the filter's delay is held back.
        const double expected =
            std::ceil(10.0 * from.sampleRate / 1024) * 1024 * 48'000.0 / from.sampleRate;
        EXPECT_NEAR(double(out.size()), expected, 64.0);
        EXPECT_NEAR(dominantHz(out, 48'000.0), 1000.0, 6.0);
        EXPECT_NEAR(peakOf(out), peak, 0.02);
    }
}

TEST(AudioConverterTest,
     WithNoNewInputItDrainsWhatItHoldsThenGivesNothingAndTheStreamStaysSeamless) {
    const AudioFormat from{SampleType::int16, 44'100.0, 2, true};
    // Pulled in small pieces with drains in between, the stream must equal one pulled in big ones.
    const auto reference = convertStream(from, 440.0, 0.5, 0.5);
    auto converter = platform::makeAudioConverter(from, kMono48k);
    ASSERT_NE(converter, nullptr);
    PcmBuffer output(kMono48k, 256);
    std::vector<float> pieces;
    const long total = std::lround(0.5 * 44'100);
    for (long at = 0; at < total; at += 1024) {
        const PcmBuffer input = sine(from, at, 1024, 440.0, 0.5);
        ASSERT_TRUE(converter->convert(output, once(input)).has_value());
        EXPECT_EQ(output.frameLength, 256);  // the rest waits in the converter
        pieces.insert(pieces.end(), output.floatData(), output.floatData() + output.frameLength);
        int drains = 0;
        do {
            ASSERT_TRUE(converter->convert(
                output, [](const PcmBuffer**) { return AudioConverter::InputStatus::noDataNow; }));
            pieces.insert(pieces.end(), output.floatData(),
                          output.floatData() + output.frameLength);
        } while (output.frameLength > 0 && ++drains < 100);
        ASSERT_EQ(output.frameLength, 0);
    }
    ASSERT_EQ(pieces.size(), reference.size());
    for (size_t i = 0; i < pieces.size(); ++i) {
        ASSERT_EQ(pieces[i], reference[i]) << "at frame " << i;
    }
}

TEST(AudioConverterTest, UnsupportedFormatsAndMismatchedBuffersAreRefused) {
    const AudioFormat good{SampleType::int16, 44'100.0, 2, true};
    EXPECT_EQ(platform::makeAudioConverter({SampleType::other, 48'000.0, 1, true}, kMono48k),
              nullptr);
    EXPECT_EQ(platform::makeAudioConverter({SampleType::float32, 48'000.0, 0, true}, kMono48k),
              nullptr);
    EXPECT_EQ(platform::makeAudioConverter({SampleType::float32, 0.0, 1, true}, kMono48k), nullptr);
    EXPECT_EQ(platform::makeAudioConverter(good, {SampleType::float32, -1.0, 1, true}), nullptr);

    auto converter = platform::makeAudioConverter(good, kMono48k);
    ASSERT_NE(converter, nullptr);
    PcmBuffer output(kMono48k, 4096);
    const PcmBuffer wrongInput = sine(kMono48k, 0, 1024, 440.0, 0.5);
    EXPECT_FALSE(converter->convert(output, once(wrongInput)).has_value());
    PcmBuffer wrongOutput(good, 4096);
    const PcmBuffer input = sine(good, 0, 1024, 440.0, 0.5);
    EXPECT_FALSE(converter->convert(wrongOutput, once(input)).has_value());
    EXPECT_EQ(wrongOutput.frameLength, 0);
}
