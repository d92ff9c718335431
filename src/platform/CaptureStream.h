#pragma once

#include "MediaTime.h"
#include "PixelBuffer.h"
#include "ScreenContent.h"
#include "SerialQueue.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

struct CaptureError {
    std::string domain;
    int code = 0;
    std::string localizedDescription;
};

struct StreamConfiguration {
    bool showsCursor = true;
    bool capturesAudio = false;
    std::uint32_t backgroundColor = 0xFFFFFFFF;  // ARGB, for letter-boxing
    MediaTime minimumFrameInterval{1, 30};
    int width = 0;   // even, at least 2
    int height = 0;  // even, at least 2
    bool scalesToFit = true;
};

// Delivers BGRA frames of the filter's content at the configured size and at most one per
// minimum interval, on the queue given with the output. Frame times are on the steady clock.
class CaptureStream {
  public:
    using Completion = std::function<void(std::optional<CaptureError>)>;
    using SampleHandler = std::function<void(const VideoSample&, StreamOutputType)>;
    virtual ~CaptureStream() = default;

    virtual std::optional<CaptureError> addStreamOutput(StreamOutputType type,
                                                        SampleHandler handler,
                                                        SerialQueue& queue) = 0;
    virtual void startCapture(Completion completion) = 0;
    virtual void stopCapture(Completion completion) = 0;
    // Called at most once, on the stream's own thread, when a running capture ends by itself
    // (the captured window or display went away). A stop that was asked for does not call it.
    using StopHandler = std::function<void(const CaptureError&)>;
    virtual void setDidStopWithError(StopHandler handler) = 0;
};

using CaptureStreamFactory =
    std::function<std::unique_ptr<CaptureStream>(const ContentFilter&, const StreamConfiguration&)>;

// The system picker's stand-in.
class ContentSharingPickerObserver {
  public:
    virtual ~ContentSharingPickerObserver() = default;
    virtual void contentSharingPickerDidCancel() = 0;
    virtual void contentSharingPickerDidUpdate(const ContentFilter& filter) = 0;
    virtual void contentSharingPickerStartDidFail(const CaptureError& error) = 0;
};

class ContentSharingPicker {
  public:
    enum class Mode { singleDisplay, singleWindow };
    struct Configuration {
        Mode allowedPickerModes = Mode::singleWindow;
        bool allowsChangingSelectedContent = false;
    };
    virtual ~ContentSharingPicker() = default;
    virtual void setConfiguration(const Configuration& configuration) = 0;
    // Observers are held weakly and called on the main thread.
    virtual void addObserver(std::weak_ptr<ContentSharingPickerObserver> observer) = 0;
    virtual void setActive(bool active) = 0;
    virtual void present() = 0;
};

// The thin frame drawn around the captured area: click-through, above ordinary windows.
class BorderOverlayWindow {
  public:
    virtual ~BorderOverlayWindow() = default;
    virtual Rect frame() const = 0;
    virtual void setFrame(const Rect& frame) = 0;
    virtual void orderFront() = 0;
    virtual void orderOut() = 0;
};

struct BorderStyle {
    std::uint32_t color = 0xFF2FBF71;  // ARGB
    double lineWidth = 2;
    double cornerRadius = 8;
};

using BorderOverlayFactory =
    std::function<std::unique_ptr<BorderOverlayWindow>(const Rect&, const BorderStyle&)>;

}  // namespace platform
