#pragma once

#include "SelectedContentInfo.h"

#include "platform/CaptureStream.h"
#include "platform/ScreenContent.h"

#include <QTimer>

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace recording {

// Receives the capture stream's samples; only screen samples reach the handler.
class StreamOutput {
  public:
    std::function<void(const platform::VideoSample&)> videoSampleHandler;
    std::function<void()> finishRecording;
    void didOutputSampleBuffer(const platform::VideoSample& sample,
                               platform::StreamOutputType type) const;
};

// What is captured and how: the content the trader chose in the picker, the capture stream of
// it, the file its recording goes to, and the border drawn around it while it is recorded.
// Main thread.
class CaptureSession : public platform::ContentSharingPickerObserver,
                       public std::enable_shared_from_this<CaptureSession> {
  public:
    struct Platform {
        platform::CaptureStreamFactory streamFactory;
        std::shared_ptr<platform::WindowServer> windowServer;
        std::shared_ptr<platform::ContentSharingPicker> picker;
        platform::BorderOverlayFactory borderFactory;
        // Where recordings go; empty means the "Korvane" folder in the user's data directory.
        std::string recordingsFolder;
    };
    struct Events {
        // Main thread: the picker's choice.
        std::function<void(const SelectedContentInfo&)> contentChosen;
        // Main thread: the running stream ended by itself, with this reason.
        std::function<void(const std::string&)> endedByItself;
        // What the border goes around.
        std::function<std::optional<SelectedContentInfo>()> selectedContent;
    };
    struct Options {
        bool showsCursor = true;
        double scale = 1.0;
        int framesPerSecond = 30;
    };
    using Completion = std::function<void(std::optional<platform::CaptureError>)>;

    static std::shared_ptr<CaptureSession> create(Platform platform, Events events);

    // The size a content rectangle is captured at: scaled, rounded, even, at least 2.
    static int evenCaptureSize(double points, double scale);
    // A new file's path in the recordings folder, made sure to take a file.
    std::expected<std::string, std::string> makeOutputURL() const;

    // Starts a stream of the chosen content whose samples go to `samples` on `queue`. `ready`
    // runs once the stream is made and wired, just before it starts. The completion runs with
    // nil once it runs (on the main thread), or with the error.
    void start(const Options& options, std::function<void(const platform::VideoSample&)> samples,
               platform::SerialQueue& queue, std::function<void()> ready, Completion completion);
    // Stops the running stream; false when there is none. The completion runs on the main thread.
    bool stop(std::function<void(std::optional<platform::CaptureError>)> completion);
    bool isCurrent(const platform::CaptureStream* stream) const { return m_stream.get() == stream; }
    bool hasStream() const { return m_stream != nullptr; }
    void forgetStream() { m_stream.reset(); }
    StreamOutput& output() { return m_output; }

    // The content choice.
    void presentPicker(bool displayOnly);
    // Closes the picker without a choice; an answer already on its way is not taken any more.
    void dismissPicker();
    void contentSharingPickerDidCancel() override;
    void contentSharingPickerDidUpdate(const platform::ContentFilter& filter) override;
    void contentSharingPickerStartDidFail(const platform::CaptureError& error) override;
    void applyPickerFilter(const platform::ContentFilter& filter);
    const std::optional<platform::ContentFilter>& contentFilter() const { return m_filter; }
    void forgetContent() { m_filter.reset(); }

    // The border around what is recorded; it follows a window that moves.
    void showBorder();
    void hideBorder();
    void updateBorderFrame();
    std::optional<platform::Rect> borderFrame() const;
    std::optional<platform::Rect> windowBoundsInScreenCoordinates(std::uint32_t windowID) const;
    platform::BorderOverlayWindow* borderOverlayWindow() const { return m_border.get(); }

  private:
    CaptureSession(Platform platform, Events events);
    platform::StreamConfiguration configurationFor(const Options& options) const;

    Platform m_platform;
    Events m_events;
    std::optional<platform::ContentFilter> m_filter;
    // Set once the picker was put away unanswered: a Share the picker sent before it went may
    // still be queued, and must not change what the countdown or the recording covers.
    bool m_pickerDismissed = false;
    std::shared_ptr<platform::CaptureStream> m_stream;
    StreamOutput m_output;
    std::unique_ptr<platform::BorderOverlayWindow> m_border;
    std::unique_ptr<QTimer> m_borderTimer;
};

}  // namespace recording
