// Writes real files with the FFmpeg writer and reads them back with libavformat/libavcodec.
#include "media/FfmpegAssetWriter.h"

#include "MediaFile.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <numbers>
#include <thread>
#include <vector>

using platform::AssetWriter;
using platform::AssetWriterStatus;
using platform::FrameCompositor;
using platform::MediaTime;
using platform::PixelBuffer;

namespace {

const MediaTime kFirst{1'234'567'890, 1'000'000'000};

MediaTime frameTime(int slot) {
    return kFirst + MediaTime(slot, 30);
}

std::string testPath(const std::string& name) {
    return std::string(std::getenv("KORVANE_TEST_HOME")) + "/" + name;
}

std::shared_ptr<PixelBuffer> solid(int width, int height, std::uint8_t gray) {
    auto picture = PixelBuffer::make(width, height);
    for (std::size_t i = 0; i < picture->bytes.size(); i += 4) {
        picture->bytes[i] = picture->bytes[i + 1] = picture->bytes[i + 2] = gray;
        picture->bytes[i + 3] = 255;
    }
    return picture;
}

// Moving stripes, so the encoder has real motion to code.
std::shared_ptr<PixelBuffer> stripes(int width, int height, int slot) {
    auto picture = PixelBuffer::make(width, height);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = picture->row(y);
        for (int x = 0; x < width; ++x) {
            const auto value = static_cast<std::uint8_t>(((x + y + slot * 3) / 8 % 2) * 200 + 20);
            row[4 * x] = row[4 * x + 1] = row[4 * x + 2] = value;
            row[4 * x + 3] = 255;
        }
    }
    return picture;
}

std::unique_ptr<AssetWriter> startWriter(const std::string& path, bool withAudio) {
    auto created = platform::makeFfmpegAssetWriter(path);
    if (!created) {
        ADD_FAILURE() << created.error();
        return nullptr;
    }
    auto writer = std::move(*created);
    EXPECT_TRUE(writer->addVideoInput({.width = 320, .height = 240}));
    if (withAudio) {
        EXPECT_TRUE(writer->addAudioInput({}));
    }
    EXPECT_TRUE(writer->startWriting()) << writer->error().value_or("");
    writer->startSession(kFirst);
    return writer;
}

void appendPicture(AssetWriter& writer, FrameCompositor& compositor, const PixelBuffer& picture,
                   int slot) {
    auto frame = writer.makePooledFrame();
    ASSERT_TRUE(frame);
    ASSERT_TRUE(compositor.render(picture, *frame));
    ASSERT_TRUE(writer.appendVideo(std::move(frame), frameTime(slot)));
}

void finish(AssetWriter& writer) {
    bool completed = false;
    writer.finishWriting([&] { completed = true; });
    EXPECT_TRUE(completed);
    EXPECT_EQ(writer.status(), AssetWriterStatus::completed) << writer.error().value_or("");
}

double seconds(const AVStream& stream, std::int64_t value) {
    return static_cast<double>(value) * av_q2d(stream.time_base);
}

// The entropy_coding_mode_flag of the first PPS in an avcC record. x264 numbers its SPS and PPS
// 0, so the flag follows two one-bit ue(0) codes.
bool usesCabac(const AVCodecParameters& parameters) {
    const std::uint8_t* record = parameters.extradata;
    const auto size = static_cast<std::size_t>(parameters.extradata_size);
    if (size < 7 || record[0] != 1) {
        return false;
    }
    std::size_t at = 6;
    for (int sets = record[5] & 31; sets > 0 && at + 1 < size; --sets) {
        at += 2 + (static_cast<std::size_t>(record[at]) << 8 | record[at + 1]);
    }
    // PPS count, 2-byte length, NAL header, first payload byte.
    return at + 4 < size && (record[at + 4] & 0xe0) == 0xe0;
}

}  // namespace

TEST(AssetWriterTest, VideoIsHighProfileConstantRateWithoutBFramesAndKeepsSkippedSlots) {
    const auto path = testPath("video.mp4");
    auto writer = startWriter(path, false);
    ASSERT_TRUE(writer);
    auto compositor = writer->makeCompositor();
    // The first two slots and one in the middle are left empty, as a busy machine may leave them.
    std::vector<int> slots;
    for (int slot = 0; slot < 90; ++slot) {
        if (slot > 1 && slot != 4) {
            appendPicture(*writer, *compositor, *stripes(320, 240, slot), slot);
            slots.push_back(slot);
        }
    }
    // Times that do not rise are refused, and the file stays sound.
    EXPECT_FALSE(writer->appendVideo(writer->makePooledFrame(), frameTime(89)));
    EXPECT_FALSE(writer->appendVideo(writer->makePooledFrame(), frameTime(4)));
    finish(*writer);

    MediaFile file(path);
    const AVStream* video = file.stream(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(video);
    EXPECT_EQ(video->codecpar->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(video->codecpar->profile, FF_PROFILE_H264_HIGH);
    EXPECT_EQ(video->codecpar->video_delay, 0);
    EXPECT_EQ(video->codecpar->width, 320);
    EXPECT_EQ(video->codecpar->height, 240);
    EXPECT_EQ(av_cmp_q(video->r_frame_rate, AVRational{30, 1}), 0);
    EXPECT_NEAR(seconds(*video, video->start_time + video->duration), 3.0, 1e-5)
        << "the picture ends with the last slot";

    std::vector<double> times;
    std::vector<std::size_t> keys;
    file.decode(AVMEDIA_TYPE_VIDEO, [&](const AVFrame& frame, double time) {
        EXPECT_NE(frame.pict_type, AV_PICTURE_TYPE_B);
        if (frame.key_frame) {
            keys.push_back(times.size());
        }
        times.push_back(time);
    });
    ASSERT_EQ(times.size(), slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
        EXPECT_NEAR(times[i], slots[i] / 30.0, 1e-5) << "frame " << i << " off its slot";
    }
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(keys.front(), 0u);
    keys.push_back(times.size());
    for (std::size_t i = 1; i < keys.size(); ++i) {
        EXPECT_LE(keys[i] - keys[i - 1], 60u);
    }
}

TEST(AssetWriterTest, CompositorFitsPicturesCentredOnBlack) {
    const auto path = testPath("boxes.mp4");
    auto writer = startWriter(path, false);
    ASSERT_TRUE(writer);
    auto compositor = writer->makeCompositor();
    appendPicture(*writer, *compositor, *solid(400, 100, 255), 0);  // 320x80 band
    appendPicture(*writer, *compositor, *solid(100, 400, 255), 1);  // 60x240 band, same frame
    appendPicture(*writer, *compositor, *solid(1, 240, 255), 2);    // a 2-pixel line at x 158
    finish(*writer);

    std::vector<std::unique_ptr<AVFrame, void (*)(AVFrame*)>> frames;
    MediaFile(path).decode(AVMEDIA_TYPE_VIDEO, [&](const AVFrame& frame, double) {
        frames.emplace_back(av_frame_clone(&frame), [](AVFrame* f) { av_frame_free(&f); });
    });
    ASSERT_EQ(frames.size(), 3u);
    const auto sample = [&](int index, int x, int y, int plane) {
        const AVFrame& f = *frames[static_cast<std::size_t>(index)];
        const int shift = plane == 0 ? 0 : 1;
        return static_cast<int>(f.data[plane][(y >> shift) * f.linesize[plane] + (x >> shift)]);
    };
    const auto black = [&](int index, int x, int y) {
        return sample(index, x, y, 0) < 30 && std::abs(sample(index, x, y, 1) - 128) < 6 &&
               std::abs(sample(index, x, y, 2) - 128) < 6;
    };
    const auto white = [&](int index, int x, int y) { return sample(index, x, y, 0) > 200; };
    EXPECT_TRUE(black(0, 160, 40));
    EXPECT_TRUE(white(0, 2, 120));
    EXPECT_TRUE(white(0, 317, 120));
    EXPECT_TRUE(black(0, 160, 200));
    EXPECT_TRUE(black(1, 60, 120));
    EXPECT_TRUE(white(1, 160, 2));
    EXPECT_TRUE(white(1, 160, 237));
    EXPECT_TRUE(black(1, 260, 120));
    EXPECT_TRUE(white(2, 158, 120));
    EXPECT_TRUE(white(2, 159, 120));
    EXPECT_TRUE(black(2, 100, 120));
}

TEST(AssetWriterTest, AudioIsMonoAacLaidEndToEndWithGapsFilledBySilence) {
    constexpr int kRate = 48'000;
    const auto path = testPath("audio.mp4");
    auto writer = startWriter(path, true);
    ASSERT_TRUE(writer);
    const auto tone = [](std::int64_t sample) {
        return 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * 440 * sample / kRate));
    };
    // Pieces of awkward sizes, each stamped with its own place on the timeline.
    const auto appendTone = [&](std::int64_t first, int count) {
        const int sizes[] = {937, 1, 4096, 1024, 333};
        std::vector<float> piece;
        for (int done = 0, i = 0; done < count; ++i) {
            const int size = std::min(sizes[i % 5], count - done);
            piece.resize(static_cast<std::size_t>(size));
            for (int k = 0; k < size; ++k) {
                piece[static_cast<std::size_t>(k)] = tone(first + done + k);
            }
            EXPECT_TRUE(
                writer->appendAudio(piece.data(), size, kFirst + MediaTime(first + done, kRate)));
            done += size;
        }
    };
    // Audio arrives on its own thread, as when recording: 1 s of tone, a 0.5 s hole, 0.5 s of
    // tone, then 0.1 s starting 50 ms before the end so far.
    std::thread audio([&] {
        appendTone(0, kRate);
        appendTone(kRate * 3 / 2, kRate / 2);
        appendTone(kRate * 39 / 20, kRate / 10);
        writer->markAudioAsFinished();
    });
    auto compositor = writer->makeCompositor();
    for (int slot = 0; slot < 60; ++slot) {
        appendPicture(*writer, *compositor, *stripes(320, 240, slot), slot);
    }
    audio.join();
    finish(*writer);

    MediaFile file(path);
    const AVStream* track = file.stream(AVMEDIA_TYPE_AUDIO);
    const AVStream* video = file.stream(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(track && video);
    EXPECT_EQ(track->codecpar->codec_id, AV_CODEC_ID_AAC);
    EXPECT_EQ(track->codecpar->profile, FF_PROFILE_AAC_LOW);
    EXPECT_EQ(track->codecpar->sample_rate, kRate);
    EXPECT_EQ(track->codecpar->ch_layout.nb_channels, 1);
    EXPECT_NEAR(seconds(*track, track->start_time), seconds(*video, video->start_time), 1e-3);

    std::vector<float> samples;
    int videoFrames = 0;
    file.decode(AVMEDIA_TYPE_AUDIO, [&](const AVFrame& frame, double) {
        const auto* data = reinterpret_cast<const float*>(frame.data[0]);
        samples.insert(samples.end(), data, data + frame.nb_samples);
    });
    MediaFile(path).decode(AVMEDIA_TYPE_VIDEO, [&](const AVFrame&, double) { ++videoFrames; });
    EXPECT_EQ(videoFrames, 60);
    // The overlapping 50 ms are dropped: the audio ends at 2.05 s.
    EXPECT_NEAR(static_cast<double>(samples.size()) / kRate, 2.05, 0.022);

    const auto window = [&](double from, double to) {
        const auto begin = static_cast<std::size_t>(from * kRate);
        const auto end = std::min(samples.size(), static_cast<std::size_t>(to * kRate));
        double power = 0;
        int crossings = 0;
        for (std::size_t i = begin; i < end; ++i) {
            power += samples[i] * samples[i];
            crossings += i > begin && (samples[i - 1] < 0) != (samples[i] < 0);
        }
        const double length = static_cast<double>(end - begin) / kRate;
        return std::pair{std::sqrt(power / static_cast<double>(end - begin)),
                         crossings / 2.0 / length};
    };
    for (const auto& [from, to] : {std::pair{0.05, 0.95}, {1.55, 1.95}, {1.96, 2.03}}) {
        const auto [rms, frequency] = window(from, to);
        EXPECT_NEAR(rms, 0.5 / std::sqrt(2.0), 0.03) << from;
        EXPECT_NEAR(frequency, 440, 5) << from;
    }
    EXPECT_LT(window(1.03, 1.47).first, 0.003);
}

TEST(AssetWriterTest, LifecycleStatusesErrorsAndCleanup) {
    const auto missing = platform::makeFfmpegAssetWriter(testPath("no-such-folder/x.mp4"));
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().find("no-such-folder/x.mp4: No such file or directory"),
              std::string::npos)
        << missing.error();

    // Inputs only before starting; a handed-back frame is handed out again; a finished input
    // takes nothing more; cancelling removes the file.
    const auto path = testPath("cancelled.mp4");
    auto created = platform::makeFfmpegAssetWriter(path);
    ASSERT_TRUE(created);
    auto& writer = **created;
    EXPECT_EQ(writer.status(), AssetWriterStatus::unknown);
    EXPECT_FALSE(writer.makePooledFrame());
    ASSERT_TRUE(writer.addVideoInput({.width = 64, .height = 48}));
    EXPECT_FALSE(writer.canAddVideoInput());
    EXPECT_FALSE(writer.addVideoInput({.width = 64, .height = 48}));
    EXPECT_TRUE(writer.canAddAudioInput());
    ASSERT_TRUE(writer.startWriting());
    writer.startSession(kFirst);
    EXPECT_EQ(writer.status(), AssetWriterStatus::writing);
    EXPECT_FALSE(writer.canAddAudioInput());
    auto frame = writer.makePooledFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 64);
    EXPECT_EQ(frame->height(), 48);
    const auto* first = frame.get();
    EXPECT_TRUE(writer.appendVideo(std::move(frame), kFirst));
    EXPECT_TRUE(writer.isVideoReadyForMoreMediaData());
    // Finishing waits for the frames queued for the encoder, which come back to the pool.
    writer.markVideoAsFinished();
    EXPECT_EQ(writer.makePooledFrame().get(), first);
    EXPECT_FALSE(writer.isVideoReadyForMoreMediaData());
    EXPECT_FALSE(writer.appendVideo(writer.makePooledFrame(), frameTime(1)));
    EXPECT_TRUE(std::filesystem::exists(path));
    writer.cancelWriting();
    EXPECT_EQ(writer.status(), AssetWriterStatus::cancelled);
    EXPECT_FALSE(std::filesystem::exists(path));

    // Finishing a writer never started fails and leaves no file.
    const auto idlePath = testPath("idle.mp4");
    auto idle = platform::makeFfmpegAssetWriter(idlePath);
    ASSERT_TRUE(idle);
    bool called = false;
    (*idle)->finishWriting([&] { called = true; });
    EXPECT_TRUE(called);
    EXPECT_EQ((*idle)->status(), AssetWriterStatus::failed);
    EXPECT_TRUE((*idle)->error());
    EXPECT_FALSE(std::filesystem::exists(idlePath));

    // So does one started whose video never got a picture: the muxer would drop the empty track
    // and leave a "movie" with no video at all.
    const auto blankPath = testPath("blank.mp4");
    auto blank = startWriter(blankPath, true);
    ASSERT_TRUE(blank);
    const std::vector<float> sound(4800, 0.25f);
    EXPECT_TRUE(blank->appendAudio(sound.data(), static_cast<int>(sound.size()), kFirst));
    blank->finishWriting({});
    EXPECT_EQ(blank->status(), AssetWriterStatus::failed);
    EXPECT_EQ(blank->error(), "No picture was recorded");
    EXPECT_FALSE(std::filesystem::exists(blankPath));
}

TEST(AssetWriterTest, PresetChoiceKeepsHighProfileAndCabac) {
    // ultrafast turns CABAC and the 8x8 transform off unless told otherwise.
    const auto path = testPath("ultrafast.mp4");
    auto fastest = platform::makeFfmpegAssetWriterWithPreset(path, "ultrafast");
    ASSERT_TRUE(fastest);
    ASSERT_TRUE((*fastest)->addVideoInput({.width = 64, .height = 48}));
    ASSERT_TRUE((*fastest)->startWriting());
    (*fastest)->startSession(kFirst);
    appendPicture(**fastest, *(*fastest)->makeCompositor(), *stripes(64, 48, 0), 0);
    finish(**fastest);
    MediaFile file(path);
    const AVStream* video = file.stream(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(video);
    EXPECT_EQ(video->codecpar->profile, FF_PROFILE_H264_HIGH);
    EXPECT_TRUE(usesCabac(*video->codecpar));

    auto unknown =
        platform::makeFfmpegAssetWriterWithPreset(testPath("preset.mp4"), "no-such-preset");
    ASSERT_TRUE(unknown);
    ASSERT_TRUE((*unknown)->addVideoInput({.width = 64, .height = 48}));
    EXPECT_FALSE((*unknown)->startWriting());
    EXPECT_EQ((*unknown)->status(), AssetWriterStatus::failed);
    EXPECT_NE((*unknown)->error().value_or("").find("no-such-preset"), std::string::npos);
}
