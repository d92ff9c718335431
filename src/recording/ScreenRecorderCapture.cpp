// The recorder's capture start, stop, upload hand-off, delete and repeat, the content choice
// and the capture border. Main thread unless a comment says otherwise.
#include "ScreenRecorder.h"

#include "platform/Log.h"
#include "platform/MainQueue.h"

#include <QDateTime>
#include <QDir>
#include <QStandardPaths>
#include <QUrl>
#include <QUuid>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace recording {

namespace {

platform::CaptureError noContentFilter() {
    return {"ScreenRecorder", -10, "No content filter"};
}

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

// --- capture start ---

int ScreenRecorder::evenCaptureSize(double points, double scale) {
    const double scaled = std::max(points * scale, 1.0);
    auto size = static_cast<long long>(std::round(scaled));
    size -= size % 2;
    return size < 3 ? 2 : static_cast<int>(size);
}

std::expected<std::string, std::string> ScreenRecorder::makeOutputURL() const {
    QString folder = QString::fromStdString(m_environment.recordingsFolder);
    if (folder.isEmpty()) {
        const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        if (data.isEmpty()) {
            return std::unexpected(std::string("No data directory for recordings"));
        }
        folder = data + QStringLiteral("/Korvane");
    }
    if (!QDir().mkpath(folder)) {
        return std::unexpected("The folder \u201c" + folder.toStdString() +
                               "\u201d couldn\u2019t be created.");
    }
    // Recordings show the trader's screen: the folder is the user's alone, whatever the umask.
    const std::string folderPath = folder.toStdString();
    ::chmod(folderPath.c_str(), 0700);
    const QString date =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"));
    const QString unique = QUuid::createUuid().toString(QUuid::WithoutBraces).left(8).toUpper();
    const std::string path = (folder + QStringLiteral("/Korvane_") + date + QStringLiteral("_") +
                              unique + QStringLiteral(".mp4"))
                                 .toStdString();
    // A folder that takes no file fails the start now, not at the first frame of a recording
    // that would then run on with nothing written.
    const int probe = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (probe < 0) {
        return std::unexpected("The file \u201c" + std::filesystem::path(path).filename().string() +
                               "\u201d couldn\u2019t be saved in the folder \u201c" + folderPath +
                               "\u201d: " + std::strerror(errno));
    }
    ::close(probe);
    ::unlink(path.c_str());
    return path;
}

void ScreenRecorder::startRecording() {
    auto url = makeOutputURL();
    if (!url) {
        failStart(url.error());
        return;
    }
    startCapture(*url, [weak = weak_from_this()](std::optional<platform::CaptureError> error) {
        if (!error) {
            return;
        }
        platform::MainQueue::post([weak, text = error->localizedDescription] {
            if (auto self = weak.lock()) {
                self->failStart(text);
            }
        });
    });
}

void ScreenRecorder::failStart(const std::string& text) {
    platform::logLine(text);
    // Said to the trader as an upload failure is: nothing was recorded, and the windows waiting
    // for the recording must not wait on.
    setErrorMessage(QString::fromStdString(text));
    setIsShowError(true);
}

void ScreenRecorder::startCapture(const std::string& url, CaptureCompletion completion) {
    platform::StreamConfiguration configuration;
    configuration.showsCursor = m_showsCursor;
    configuration.capturesAudio = false;
    configuration.backgroundColor = 0xFFFFFFFF;  // white, the only colour offered
    configuration.minimumFrameInterval = platform::MediaTime(1, targetFPS);
    if (!m_contentFilter) {
        completion(noContentFilter());
        return;
    }
    const double scale = m_videoScale == VideoScale::high ? 2.0 : 1.0;
    configuration.width = evenCaptureSize(m_contentFilter->contentRect.width, scale);
    configuration.height = evenCaptureSize(m_contentFilter->contentRect.height, scale);
    configuration.scalesToFit = true;
    setPendingOutputURL(url);

    std::shared_ptr<platform::CaptureStream> stream =
        m_environment.captureStreamFactory
            ? m_environment.captureStreamFactory(*m_contentFilter, configuration)
            : nullptr;
    if (!stream) {
        completion(
            platform::CaptureError{"ScreenRecorder", -11, "Screen capture is not available"});
        return;
    }
    std::weak_ptr<ScreenRecorder> weak = weak_from_this();
    // The stream calls the output on the writer queue; the output only holds the recorder weakly.
    auto output = std::make_shared<StreamOutput>();
    output->videoSampleHandler = [weak](const platform::VideoSample& sample) {
        if (auto self = weak.lock()) {
            self->handleVideoSample(sample);
        }
    };
    if (auto error = stream->addStreamOutput(
            platform::StreamOutputType::screen,
            [output](const platform::VideoSample& sample, platform::StreamOutputType type) {
                output->didOutputSampleBuffer(sample, type);
            },
            *m_writerQueue)) {
        completion(*error);
        return;
    }
    m_streamOutput.videoSampleHandler = output->videoSampleHandler;
    stream->setDidStopWithError([weak, raw = stream.get()](const platform::CaptureError& error) {
        platform::MainQueue::post([weak, raw, text = error.localizedDescription] {
            if (auto self = weak.lock()) {
                self->captureDidStopWithError(raw, text);
            }
        });
    });
    {
        std::lock_guard lock(m_mutex);
        m_writerFailure.reset();
    }
    m_environment.defaults->setString("currentVideoPath", url);
    stream->startCapture([weak, stream, completion](std::optional<platform::CaptureError> error) {
        platform::MainQueue::post([weak, stream, completion, error] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            if (error) {
                completion(error);
                return;
            }
            self->setIsRecording(true);
            self->m_captureEnding = false;
            self->m_stream = stream;
            self->showBorderOverlay();
            self->m_streamOutput.finishRecording = [weak] {
                if (auto recorder = weak.lock()) {
                    recorder->finishRecording();
                }
            };
            completion(std::nullopt);
        });
    });
}

// --- stop, upload, delete, repeat ---

void ScreenRecorder::stopRecording() {
    if (m_captureEnding) {
        return;  // already on its way out: a second finalization would upload twice
    }
    m_captureEnding = true;
    if (!m_stream) {
        finishRecording();
        return;
    }
    std::weak_ptr<ScreenRecorder> weak = weak_from_this();
    m_stream->stopCapture([weak](std::optional<platform::CaptureError> error) {
        platform::MainQueue::post([weak, error] {
            if (error) {
                platform::logLine(error->localizedDescription);
            }
            if (auto self = weak.lock()) {
                self->finishRecording();
            }
        });
    });
}

void ScreenRecorder::captureDidStopWithError(const platform::CaptureStream* stream,
                                             const std::string& text) {
    if (m_stream.get() != stream || !m_isRecording) {
        return;
    }
    platform::logLine(text);
    if (m_captureEnding) {
        return;  // a stop was asked for meanwhile and ends it
    }
    // The stream has stopped already; what was recorded is finalized and uploaded.
    m_captureEnding = true;
    finishRecording();
}

void ScreenRecorder::completeStop() {
    m_stream.reset();
    m_captureEnding = false;
    if (!m_preserveSelectionOnStop) {
        m_contentFilter.reset();
    }
    setIsRecording(false);
    hideBorderOverlay();
    std::optional<std::string> failure;
    {
        std::lock_guard lock(m_mutex);
        failure = std::exchange(m_writerFailure, std::nullopt);
    }
    if (!m_skipUploadOnStop) {
        if (failure) {
            // An unfinished file is no recording: it stays on disk and under its key, and the
            // trader hears why instead of a success.
            platform::logLine("Recording failed: " + *failure);
            setIsSuccess(false);
            setErrorMessage(QString::fromStdString(*failure));
            setIsShowError(true);
        } else {
            uploadRecordedVideo();
        }
    }
    m_preserveSelectionOnStop = false;
    m_skipUploadOnStop = false;
    emit recordingFinalized();
    if (m_startAfterStop) {
        m_startAfterStop = false;
        startNextRecordingAfterStop();
    }
}

void ScreenRecorder::uploadRecordedVideo() {
    const auto stored = m_environment.defaults->string("currentVideoPath");
    if (!stored || stored->empty() || !m_videoRepository) {
        setIsShowError(true);
        return;
    }
    const std::string path =
        QUrl::fromUserInput(QString::fromStdString(*stored)).toLocalFile().toStdString();
    setIsUploading(true);
    m_uploadError.reset();
    m_uploadProgress.reset();
    setErrorMessage(std::nullopt);
    setSuccessMessage(std::nullopt);
    setIsSuccess(false);
    std::weak_ptr<ScreenRecorder> weak = weak_from_this();
    m_cancellableSet.push_back(
        m_videoRepository->uploadVideoInChunks(path)
            .receiveOn(platform::MainQueue::executor())
            .subscribe([weak](std::expected<api::UploadVideoResponse, api::NetworkError> result) {
                auto self = weak.lock();
                if (!self) {
                    return;
                }
                if (result) {
                    self->m_uploadResponse = *result;
                    emit self->uploadResponseChanged();
                    self->setIsSuccess(true);
                    self->setSuccessMessage(QStringLiteral("Video uploaded successfully"));
                    self->deleteStoredFiles();
                    self->setIsUploading(false);
                    return;
                }
                // The file stays on disk and under its key: nothing is lost.
                self->setIsUploading(false);
                self->m_uploadError = result.error();
                self->setIsShowError(true);
                self->setErrorMessage(
                    QString::fromStdString(result.error().localizedDescription()));
            }));
}

void ScreenRecorder::deleteRecording() {
    std::weak_ptr<ScreenRecorder> weak = weak_from_this();
    auto afterCapture = [weak] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        self->deleteStoredFiles();
        self->setIsUploading(false);
        self->m_uploadProgress.reset();
        self->m_uploadResponse.reset();
        self->m_uploadError.reset();
        self->setIsShowError(false);
        self->setIsSuccess(false);
        self->setErrorMessage(std::nullopt);
        self->setSuccessMessage(std::nullopt);
    };
    if (!m_isRecording) {
        afterCapture();
        return;
    }
    m_captureEnding = true;
    haltInputs();
    auto discard = [weak, afterCapture] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        self->hideBorderOverlay();
        self->setIsRecording(false);
        self->m_stream.reset();
        self->m_captureEnding = false;
        self->m_contentFilter.reset();
        // The writer is cancelled once the frames still in hand have passed the writer and video
        // queues; the partial file goes with it. Forgetting the pending file keeps a late frame
        // from starting a new one at the same place.
        self->runInOrder({{self->m_writerQueue.get(), {}},
                          {self->m_videoQueue.get(), [afterCapture](ScreenRecorder& last) {
                               last.stopVideoEncoder();
                               std::shared_ptr<platform::AssetWriter> writer;
                               {
                                   std::lock_guard lock(last.m_mutex);
                                   writer = last.m_assetWriter;
                                   last.m_pendingOutputURL.reset();
                                   last.m_expectedVideoSize.reset();
                                   last.m_writerFailure.reset();
                               }
                               if (writer) {
                                   writer->cancelWriting();
                               }
                               last.clearWriterFields();
                               platform::MainQueue::post(afterCapture);
                           }}});
    };
    if (!m_stream) {
        discard();
        return;
    }
    m_stream->stopCapture([discard](std::optional<platform::CaptureError> error) {
        platform::MainQueue::post([discard, error] {
            if (error) {
                platform::logLine("Failed to stop capture while deleting: " +
                                  error->localizedDescription);
            }
            discard();
        });
    });
}

void ScreenRecorder::repeatRecording() {
    m_preserveSelectionOnStop = true;
    m_skipUploadOnStop = true;
    if (!m_isRecording) {
        platform::MainQueue::postAfter(std::chrono::milliseconds(150), [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->startNextRecordingAfterStop();
            }
        });
        return;
    }
    m_captureEnding = true;
    haltInputs();
    // The new take starts only once this stop has completed, so a slow finalization can never
    // clear the new capture's state.
    m_startAfterStop = true;
    if (!m_stream) {
        finishRecording();
        return;
    }
    std::weak_ptr<ScreenRecorder> weak = weak_from_this();
    m_stream->stopCapture([weak](std::optional<platform::CaptureError>) {
        platform::MainQueue::post([weak] {
            if (auto self = weak.lock()) {
                self->finishRecording();
            }
        });
    });
}

void ScreenRecorder::startNextRecordingAfterStop() {
    deleteStoredFiles();
    startNewRecording();
}

// --- content choice ---

void ScreenRecorder::presentContentPicker(bool displayOnly) {
    if (!m_environment.contentPicker) {
        contentSharingPickerStartDidFail({"ScreenRecorder", -12, "No content picker"});
        return;
    }
    platform::ContentSharingPicker::Configuration configuration;
    configuration.allowedPickerModes = displayOnly
                                           ? platform::ContentSharingPicker::Mode::singleDisplay
                                           : platform::ContentSharingPicker::Mode::singleWindow;
    configuration.allowsChangingSelectedContent = false;
    m_environment.contentPicker->setConfiguration(configuration);
    m_environment.contentPicker->addObserver(weak_from_this());
    m_environment.contentPicker->setActive(true);
    m_environment.contentPicker->present();
}

void ScreenRecorder::contentSharingPickerDidCancel() {
    if (m_environment.contentPicker) {
        m_environment.contentPicker->setActive(false);
    }
}

void ScreenRecorder::contentSharingPickerDidUpdate(const platform::ContentFilter& filter) {
    applyPickerFilter(filter);
}

void ScreenRecorder::contentSharingPickerStartDidFail(const platform::CaptureError& error) {
    platform::logLine("Picker failed: " + error.localizedDescription);
}

void ScreenRecorder::applyPickerFilter(const platform::ContentFilter& filter) {
    if (m_environment.contentPicker) {
        m_environment.contentPicker->setActive(false);
    }
    m_contentFilter = filter;
    SelectedContentInfo info;
    if (!filter.includedWindows.empty()) {
        const auto& window = filter.includedWindows.front();
        info.kind = SelectedContentInfo::Kind::window;
        info.name = window.title;
        info.bundleIdentifier = window.applicationID;
        info.windowID = window.windowID;
    } else if (!filter.includedDisplays.empty()) {
        info.kind = SelectedContentInfo::Kind::display;
        info.displayID = filter.includedDisplays.front().displayID;
    }
    if (platform::MainQueue::isMainThread()) {
        setSelectedContentInfo(info);
    } else {
        onMain([info](ScreenRecorder& self) { self.setSelectedContentInfo(info); });
    }
}

void ScreenRecorder::startNewRecording() {
    m_environment.defaults->remove("currentVideoPath");
    std::weak_ptr<ScreenRecorder> weak = weak_from_this();
    platform::MainQueue::post([weak] {
        if (auto self = weak.lock()) {
            self->startRecording();
        }
    });
}

void ScreenRecorder::deleteStoredFiles() {
    const auto stored = m_environment.defaults->string("currentVideoPath");
    if (stored && !stored->empty()) {
        const std::string path =
            QUrl::fromUserInput(QString::fromStdString(*stored)).toLocalFile().toStdString();
        if (::unlink(path.c_str()) != 0) {
            const int firstError = errno;
            const std::string mp4 = std::filesystem::path(path).replace_extension("mp4").string();
            std::error_code exists;
            if (std::filesystem::exists(mp4, exists)) {
                if (::unlink(mp4.c_str()) != 0) {
                    platform::logLine("Failed to remove mp4 file: " + removalFailure(mp4, errno));
                }
            } else {
                platform::logLine("Failed to remove stored file: " +
                                  removalFailure(path, firstError));
            }
        }
    }
    m_environment.defaults->remove("currentVideoPath");
}

// --- capture border ---

void ScreenRecorder::showBorderOverlay() {
    if (m_borderOverlayWindow) {
        return;
    }
    const auto rect = borderFrame();
    if (!rect || !m_environment.borderOverlayFactory) {
        return;
    }
    m_borderOverlayWindow = m_environment.borderOverlayFactory(*rect, platform::BorderStyle{});
    if (!m_borderOverlayWindow) {
        return;
    }
    m_borderOverlayWindow->orderFront();
    m_borderUpdateTimer = std::make_unique<QTimer>();
    m_borderUpdateTimer->setInterval(200);
    std::weak_ptr<ScreenRecorder> weak = weak_from_this();
    QObject::connect(m_borderUpdateTimer.get(), &QTimer::timeout, [weak] {
        if (auto self = weak.lock()) {
            self->updateBorderFrame();
        }
    });
    m_borderUpdateTimer->start();
}

void ScreenRecorder::hideBorderOverlay() {
    m_borderUpdateTimer.reset();
    if (m_borderOverlayWindow) {
        m_borderOverlayWindow->orderOut();
        m_borderOverlayWindow.reset();
    }
}

void ScreenRecorder::updateBorderFrame() {
    if (!m_borderOverlayWindow) {
        return;
    }
    // A window that is gone leaves the border where it was.
    if (const auto rect = borderFrame(); rect && *rect != m_borderOverlayWindow->frame()) {
        m_borderOverlayWindow->setFrame(*rect);
    }
}

std::optional<platform::Rect> ScreenRecorder::borderFrame() const {
    if (!m_selectedContentInfo || !m_environment.windowServer) {
        return std::nullopt;
    }
    const auto& info = *m_selectedContentInfo;
    if (info.kind == SelectedContentInfo::Kind::window && info.windowID) {
        return windowBoundsInScreenCoordinates(*info.windowID);
    }
    if (info.kind == SelectedContentInfo::Kind::display && info.displayID) {
        // The desktop's coordinates are the screen's: no flip is needed.
        return m_environment.windowServer->displayBounds(*info.displayID);
    }
    return std::nullopt;
}

std::optional<platform::Rect> ScreenRecorder::windowBoundsInScreenCoordinates(
    std::uint32_t windowID) const {
    if (!m_environment.windowServer) {
        return std::nullopt;
    }
    return m_environment.windowServer->windowBounds(windowID);
}

}  // namespace recording
