#pragma once

#include "Models.h"
#include "NetworkingGateway.h"
#include "VideoChunkUploadRepository.h"

#include "platform/SerialQueue.h"
#include "platform/Single.h"

#include <memory>
#include <string>

namespace api {

class VideoRepositoryProtocol {
  public:
    virtual ~VideoRepositoryProtocol() = default;
    // The whole file in one JSON request.
    virtual platform::Single<UploadVideoResponse, NetworkError> uploadVideo(
        const std::string& path) = 0;
    // The recorder's upload: chunk by chunk; each subscription runs its own upload.
    virtual platform::Single<UploadVideoResponse, NetworkError> uploadVideoInChunks(
        const std::string& path) = 0;
};

class VideoRepository final : public VideoRepositoryProtocol {
  public:
    VideoRepository(std::shared_ptr<NetworkGatewayProtocol> networking,
                    std::shared_ptr<VideoChunkUploadRepository> chunkUploader);

    platform::Single<UploadVideoResponse, NetworkError> uploadVideo(
        const std::string& path) override;
    platform::Single<UploadVideoResponse, NetworkError> uploadVideoInChunks(
        const std::string& path) override;

    std::shared_ptr<NetworkGatewayProtocol> networking() const { return m_networking; }

  private:
    std::shared_ptr<NetworkGatewayProtocol> m_networking;
    std::shared_ptr<VideoChunkUploadRepository> m_chunkUploader;
    // Uploads run here, off the main thread, one after another.
    std::shared_ptr<platform::SerialQueue> m_uploadQueue;
};

}  // namespace api
