#include "RecordingFile.h"

#include "platform/Log.h"
#include "platform/MainQueue.h"

#include <QString>
#include <QUrl>

#include <cerrno>
#include <filesystem>

#include <unistd.h>

namespace recording {

namespace {

constexpr const char* currentVideoPathKey = "currentVideoPath";

std::string removalFailure(const std::string& path, int error) {
    const std::string name = std::filesystem::path(path).filename().string();
    if (error == ENOENT) {
        return "\u201c" + name + "\u201d couldn\u2019t be removed because it doesn\u2019t exist.";
    }
    if (error == EACCES || error == EPERM) {
        return "\u201c" + name +
               "\u201d couldn\u2019t be removed because you don\u2019t have permission to access "
               "it.";
    }
    return "\u201c" + name + "\u201d couldn\u2019t be removed.";
}

}  // namespace

RecordingFile::RecordingFile(platform::DefaultsStore& defaults,
                             std::shared_ptr<api::VideoRepositoryProtocol> videoRepository)
    : m_defaults(defaults), m_videoRepository(std::move(videoRepository)) {}

void RecordingFile::remember(const std::string& url) {
    m_defaults.setString(currentVideoPathKey, url);
}

void RecordingFile::forget() {
    m_defaults.remove(currentVideoPathKey);
}

void RecordingFile::forgetIfMissing() {
    const auto path = localPath();
    std::error_code unknown;
    if (path && !std::filesystem::exists(*path, unknown) && !unknown) {
        forget();
    }
}

std::optional<std::string> RecordingFile::localPath() const {
    const auto stored = m_defaults.string(currentVideoPathKey);
    if (!stored || stored->empty()) {
        return std::nullopt;
    }
    return QUrl::fromUserInput(QString::fromStdString(*stored)).toLocalFile().toStdString();
}

void RecordingFile::upload(std::function<void(UploadResult)> done) {
    const auto path = localPath();
    if (!path || !m_videoRepository) {
        return;
    }
    m_uploads.push_back(m_videoRepository->uploadVideoInChunks(*path)
                            .receiveOn(platform::MainQueue::executor())
                            .subscribe(std::move(done)));
}

void RecordingFile::deleteStored() {
    if (const auto path = localPath(); path && ::unlink(path->c_str()) != 0) {
        const int firstError = errno;
        const std::string mp4 = std::filesystem::path(*path).replace_extension("mp4").string();
        std::error_code exists;
        if (!std::filesystem::exists(mp4, exists)) {
            platform::logLine("Failed to remove stored file: " + removalFailure(*path, firstError));
        } else if (::unlink(mp4.c_str()) != 0) {
            platform::logLine("Failed to remove mp4 file: " + removalFailure(mp4, errno));
        }
    }
    forget();
}

}  // namespace recording
