#include "VideoRepository.h"

#include "Requests.h"

#include <cerrno>
#include <fstream>
#include <sstream>

namespace api {

VideoRepository::VideoRepository(std::shared_ptr<NetworkGatewayProtocol> networking,
                                 std::shared_ptr<VideoChunkUploadRepository> chunkUploader)
    : m_networking(std::move(networking)),
      m_chunkUploader(std::move(chunkUploader)),
      m_uploadQueue(std::make_shared<platform::SerialQueue>("VideoChunkUploadRepository")) {}

platform::Single<UploadVideoResponse, NetworkError> VideoRepository::uploadVideo(
    const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        const int error = errno;
        return platform::Single<UploadVideoResponse, NetworkError>::fail(
            NetworkError::custom(AnyError::fileReadError(path, error)));
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    UploadVideoRequest request;
    request.model.video = std::move(contents).str();
    return m_networking->request(request);
}

platform::Single<UploadVideoResponse, NetworkError> VideoRepository::uploadVideoInChunks(
    const std::string& path) {
    using Out = platform::Single<UploadVideoResponse, NetworkError>;
    // Nothing happens until someone subscribes; every subscription uploads again.
    return Out([uploader = m_chunkUploader, queue = m_uploadQueue, path](Out::Emit deliver) {
        queue->post([uploader, path, deliver] {
            auto result = uploader->upload(path);
            if (!result) {
                deliver(std::unexpected(NetworkError::custom(result.error())));
                return;
            }
            deliver(UploadVideoResponse{std::nullopt, path, "Success"});
        });
    });
}

}  // namespace api
