#pragma once

#include "VideoRepository.h"

#include "platform/DefaultsStore.h"
#include "platform/Single.h"

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace recording {

// The file of the last recording, known under "currentVideoPath" until it is uploaded or thrown
// away, so that a file that could not be uploaded is never lost. Main thread.
class RecordingFile {
  public:
    using UploadResult = std::expected<api::UploadVideoResponse, api::NetworkError>;

    RecordingFile(platform::DefaultsStore& defaults,
                  std::shared_ptr<api::VideoRepositoryProtocol> videoRepository);

    void remember(const std::string& url);
    void forget();
    // Forgets the remembered file when it is no longer on disk: the key never names a file that
    // is not there.
    void forgetIfMissing();
    // Whether a file is remembered and something can upload it.
    bool canUpload() const { return localPath() && m_videoRepository; }
    // Hands the remembered file to the upload (see canUpload); `done` runs on the main thread.
    void upload(std::function<void(UploadResult)> done);
    // Removes the remembered file from disk and forgets it.
    void deleteStored();

    api::VideoRepositoryProtocol& repository() { return *m_videoRepository; }

  private:
    std::optional<std::string> localPath() const;

    platform::DefaultsStore& m_defaults;
    std::shared_ptr<api::VideoRepositoryProtocol> m_videoRepository;
    std::vector<platform::Cancellable> m_uploads;
};

}  // namespace recording
