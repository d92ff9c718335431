#pragma once

// Opens a written media file with libavformat and decodes its streams, for checks on what was
// really written.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <functional>
#include <string>
#include <utility>
#include <vector>

class MediaFile {
  public:
    explicit MediaFile(const std::string& path);
    ~MediaFile();
    MediaFile(const MediaFile&) = delete;
    MediaFile& operator=(const MediaFile&) = delete;

    bool isOpen() const { return m_format != nullptr; }
    const AVStream* stream(AVMediaType type) const;
    // Every decoded frame of the stream of that type, with its time in seconds.
    void decode(AVMediaType type, const std::function<void(const AVFrame&, double)>& onFrame);

  private:
    AVFormatContext* m_format = nullptr;
};

// A mono float track as decoded, and the file time of its first sample.
struct DecodedAudio {
    std::vector<float> samples;
    double start = 0;
    int sampleRate = 48000;
};
DecodedAudio decodeAudio(MediaFile& file);

// The stretches of silence that have sound on both sides, as (from, to) in file seconds, judged
// in blocks of 2.5 ms: a track's own silence before its first sound and after its last is left
// out.
std::vector<std::pair<double, double>> quietStretches(const DecodedAudio& audio);
