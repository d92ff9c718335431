#pragma once

// Opens a written media file with libavformat and decodes its streams, for checks on what was
// really written.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <functional>
#include <string>

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
