#pragma once

#include "ContentPickerModel.h"

#include "platform/CaptureStream.h"
#include "platform/SerialQueue.h"

#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <memory>

class QQmlEngine;
class QQuickWindow;

namespace desktop {

class ThumbnailStore;

// The desktop's content picker: our own small window listing displays or windows. Main thread.
class DesktopContentSharingPicker final : public platform::ContentSharingPicker {
  public:
    static constexpr const char* errorDomain = "ContentSharingPicker";
    enum ErrorCode { noDisplay = 1, viewUnavailable = 2 };

    explicit DesktopContentSharingPicker(
        std::shared_ptr<const platform::WindowServer> windowServer);
    ~DesktopContentSharingPicker() override;

    void setConfiguration(const Configuration& configuration) override;
    void addObserver(std::weak_ptr<platform::ContentSharingPickerObserver> observer) override;
    void setActive(bool active) override;
    void present() override;

  private:
    void closeWindow();
    bool createWindow();
    void grabThumbnails();
    void showWindow();

    std::shared_ptr<const platform::WindowServer> m_windowServer;
    Configuration m_configuration;
    ContentPickerModel m_model;
    std::shared_ptr<ThumbnailStore> m_thumbnails;
    std::uint64_t m_generation = 0;
    std::unique_ptr<QQmlEngine> m_engine;
    QPointer<QQuickWindow> m_window;
    QTimer m_holdTimer;
    platform::SerialQueue m_grabQueue{"korvane.picker.thumbnails"};
};

}  // namespace desktop
