#include "CaptureSession.h"

#include "platform/Log.h"
#include "platform/MainQueue.h"

#include <QDateTime>
#include <QDir>
#include <QStandardPaths>
#include <QUuid>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace recording {

void StreamOutput::didOutputSampleBuffer(const platform::VideoSample& sample,
                                         platform::StreamOutputType type) const {
    if (type == platform::StreamOutputType::screen && videoSampleHandler) {
        videoSampleHandler(sample);
    }
}

std::shared_ptr<CaptureSession> CaptureSession::create(Platform platform, Events events) {
    return std::shared_ptr<CaptureSession>(
        new CaptureSession(std::move(platform), std::move(events)));
}

CaptureSession::CaptureSession(Platform platform, Events events)
    : m_platform(std::move(platform)), m_events(std::move(events)) {}

// --- the file ---

int CaptureSession::evenCaptureSize(double points, double scale) {
    const double scaled = std::max(points * scale, 1.0);
    auto size = static_cast<long long>(std::round(scaled));
    size -= size % 2;
    return size < 3 ? 2 : static_cast<int>(size);
}

std::expected<std::string, std::string> CaptureSession::makeOutputURL() const {
    QString folder = QString::fromStdString(m_platform.recordingsFolder);
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

// --- the stream ---

platform::StreamConfiguration CaptureSession::configurationFor(const Options& options) const {
    platform::StreamConfiguration configuration;
    configuration.showsCursor = options.showsCursor;
    configuration.capturesAudio = false;
    configuration.backgroundColor = 0xFFFFFFFF;  // white, the only colour offered
    configuration.minimumFrameInterval = platform::MediaTime(1, options.framesPerSecond);
    configuration.width = evenCaptureSize(m_filter->contentRect.width, options.scale);
    configuration.height = evenCaptureSize(m_filter->contentRect.height, options.scale);
    configuration.scalesToFit = true;
    return configuration;
}

void CaptureSession::start(const Options& options,
                           std::function<void(const platform::VideoSample&)> samples,
                           platform::SerialQueue& queue, std::function<void()> ready,
                           Completion completion) {
    std::shared_ptr<platform::CaptureStream> stream =
        m_platform.streamFactory ? m_platform.streamFactory(*m_filter, configurationFor(options))
                                 : nullptr;
    if (!stream) {
        completion(
            platform::CaptureError{"ScreenRecorder", -11, "Screen capture is not available"});
        return;
    }
    // The stream calls the output on the given queue; the output only holds its target weakly.
    auto output = std::make_shared<StreamOutput>();
    output->videoSampleHandler = std::move(samples);
    if (auto error = stream->addStreamOutput(
            platform::StreamOutputType::screen,
            [output](const platform::VideoSample& sample, platform::StreamOutputType type) {
                output->didOutputSampleBuffer(sample, type);
            },
            queue)) {
        completion(*error);
        return;
    }
    m_output.videoSampleHandler = output->videoSampleHandler;
    std::weak_ptr<CaptureSession> weak = weak_from_this();
    stream->setDidStopWithError([weak, raw = stream.get()](const platform::CaptureError& error) {
        platform::MainQueue::post([weak, raw, text = error.localizedDescription] {
            auto self = weak.lock();
            if (self && self->isCurrent(raw) && self->m_events.endedByItself) {
                self->m_events.endedByItself(text);
            }
        });
    });
    ready();
    stream->startCapture([weak, stream, completion](std::optional<platform::CaptureError> error) {
        platform::MainQueue::post([weak, stream, completion, error] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            if (!error) {
                self->m_stream = stream;
            }
            completion(error);
        });
    });
}

bool CaptureSession::stop(std::function<void(std::optional<platform::CaptureError>)> completion) {
    if (!m_stream) {
        return false;
    }
    m_stream->stopCapture([completion](std::optional<platform::CaptureError> error) {
        platform::MainQueue::post([completion, error] { completion(error); });
    });
    return true;
}

// --- the content choice ---

void CaptureSession::presentPicker(bool displayOnly) {
    if (!m_platform.picker) {
        contentSharingPickerStartDidFail({"ScreenRecorder", -12, "No content picker"});
        return;
    }
    platform::ContentSharingPicker::Configuration configuration;
    configuration.allowedPickerModes = displayOnly
                                           ? platform::ContentSharingPicker::Mode::singleDisplay
                                           : platform::ContentSharingPicker::Mode::singleWindow;
    configuration.allowsChangingSelectedContent = false;
    m_platform.picker->setConfiguration(configuration);
    m_platform.picker->addObserver(weak_from_this());
    m_pickerDismissed = false;
    m_platform.picker->setActive(true);
    m_platform.picker->present();
}

void CaptureSession::dismissPicker() {
    m_pickerDismissed = true;
    if (m_platform.picker) {
        m_platform.picker->setActive(false);
    }
}

void CaptureSession::contentSharingPickerDidCancel() {
    if (m_platform.picker) {
        m_platform.picker->setActive(false);
    }
}

void CaptureSession::contentSharingPickerDidUpdate(const platform::ContentFilter& filter) {
    if (m_pickerDismissed) {
        return;
    }
    applyPickerFilter(filter);
}

void CaptureSession::contentSharingPickerStartDidFail(const platform::CaptureError& error) {
    platform::logLine("Picker failed: " + error.localizedDescription);
}

void CaptureSession::applyPickerFilter(const platform::ContentFilter& filter) {
    if (m_platform.picker) {
        m_platform.picker->setActive(false);
    }
    m_filter = filter;
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
        m_events.contentChosen(info);
        return;
    }
    platform::MainQueue::post([weak = weak_from_this(), info] {
        if (auto self = weak.lock()) {
            self->m_events.contentChosen(info);
        }
    });
}

// --- the border ---

void CaptureSession::showBorder() {
    if (m_border) {
        return;
    }
    const auto rect = borderFrame();
    if (!rect || !m_platform.borderFactory) {
        return;
    }
    m_border = m_platform.borderFactory(*rect, platform::BorderStyle{});
    if (!m_border) {
        return;
    }
    m_border->orderFront();
    m_borderTimer = std::make_unique<QTimer>();
    m_borderTimer->setInterval(200);
    QObject::connect(m_borderTimer.get(), &QTimer::timeout, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->updateBorderFrame();
        }
    });
    m_borderTimer->start();
}

void CaptureSession::hideBorder() {
    m_borderTimer.reset();
    if (m_border) {
        m_border->orderOut();
        m_border.reset();
    }
}

void CaptureSession::updateBorderFrame() {
    if (!m_border) {
        return;
    }
    // A window that is gone leaves the border where it was.
    if (const auto rect = borderFrame(); rect && *rect != m_border->frame()) {
        m_border->setFrame(*rect);
    }
}

std::optional<platform::Rect> CaptureSession::borderFrame() const {
    const auto content = m_events.selectedContent ? m_events.selectedContent() : std::nullopt;
    if (!content || !m_platform.windowServer) {
        return std::nullopt;
    }
    if (content->kind == SelectedContentInfo::Kind::window && content->windowID) {
        return windowBoundsInScreenCoordinates(*content->windowID);
    }
    if (content->kind == SelectedContentInfo::Kind::display && content->displayID) {
        // The desktop's coordinates are the screen's: no flip is needed.
        return m_platform.windowServer->displayBounds(*content->displayID);
    }
    return std::nullopt;
}

std::optional<platform::Rect> CaptureSession::windowBoundsInScreenCoordinates(
    std::uint32_t windowID) const {
    if (!m_platform.windowServer) {
        return std::nullopt;
    }
    return m_platform.windowServer->windowBounds(windowID);
}

}  // namespace recording
