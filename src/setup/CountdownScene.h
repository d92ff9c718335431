#pragma once

#include "PrerecordingCountdownViewModel.h"
#include "ScreenRecorder.h"
#include "desktop/Router.h"

#include <QtQml/qqmlregistration.h>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QQuickPaintedItem>
#include <QQuickWindow>
#include <QTimer>

#include <memory>
#include <optional>

class QWindow;

namespace setup {

// Where the countdown window goes: over the chosen display or window (contentFrame, as the
// window server reports it), over the main screen when that content cannot be found, and
// nowhere new when nothing (or something of unknown kind) is chosen.
std::optional<platform::Rect> countdownFrame(
    const std::optional<recording::SelectedContentInfo>& content,
    const std::optional<platform::Rect>& contentFrame,
    const std::optional<platform::Rect>& mainScreenFrame);

// How the area under the countdown is darkened. A translucent window needs a compositing
// manager; without one (plain X11) the window shows a darkened picture of what it covers.
enum class CountdownBackdrop { translucent, snapshot };
// compositing: whether a compositing manager runs, nullopt when the display is not X11 (then
// there is nothing to take a picture of and the window stays translucent).
CountdownBackdrop countdownBackdropFor(std::optional<bool> compositing);
// Whether the X selection _NET_WM_CM_S<screen> of Qt's display has an owner; nullopt off X11.
std::optional<bool> hasCompositingManager();

// Moves and sizes the window over the recorder's chosen content; the frame it was given, or
// nullopt when it was left where it is.
std::optional<platform::Rect> placeCountdownWindow(QWindow& window,
                                                   const recording::ScreenRecorder& recorder);

// The end of the countdown: brings up a fresh recording bar. When there will be no bar and no
// bar is open, the main window comes back: the countdown was the only window left.
void presentRecordingBar(desktop::Router& router, recording::ScreenRecorder& recorder);

// CountdownScene: four seconds over the area about to be captured, then the recording bar.
class CountdownScene : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    // The one recorder, for views that bind to its state directly.
    Q_PROPERTY(recording::ScreenRecorder* screenRecorder READ screenRecorder CONSTANT)
    Q_PROPERTY(int value READ value NOTIFY valueChanged)
    Q_PROPERTY(setup::PrerecordingCountdownViewModel* viewModel READ viewModel CONSTANT)
    Q_PROPERTY(bool isTranslucent READ isTranslucent NOTIFY backdropChanged)
    Q_PROPERTY(QImage snapshot READ snapshot NOTIFY backdropChanged)

  public:
    recording::ScreenRecorder* screenRecorder() const { return m_recorder.get(); }
    static constexpr int startValue = 4;

    CountdownScene(desktop::Router& router, std::shared_ptr<recording::ScreenRecorder> recorder,
                   QObject* parent = nullptr);

    int value() const { return m_value; }
    PrerecordingCountdownViewModel* viewModel() { return &m_viewModel; }
    bool isTranslucent() const { return m_backdrop == CountdownBackdrop::translucent; }
    // The darkened picture of the covered area; null while the window is translucent.
    const QImage& snapshot() const { return m_snapshot; }
    bool isCounting() const { return m_timer.isActive(); }

    // Before the window is first shown: no window manager, above the others, over the content,
    // and its backdrop.
    Q_INVOKABLE void configureWindow(QQuickWindow* window);
    Q_INVOKABLE void onAppear();
    Q_INVOKABLE void onDisappear();

    // One step of the count; the timer calls it every second.
    void countdownTick();

  signals:
    void valueChanged();
    void backdropChanged();

  private:
    void setValue(int value);

    desktop::Router& m_router;
    std::shared_ptr<recording::ScreenRecorder> m_recorder;
    PrerecordingCountdownViewModel m_viewModel;
    int m_value = startValue;
    QTimer m_timer;
    QPointer<QQuickWindow> m_window;
    CountdownBackdrop m_backdrop = CountdownBackdrop::translucent;
    QImage m_snapshot;
};

// CountdownBackdrop: draws a picture once; nothing repaints it until the picture changes.
class CountdownBackdropItem : public QQuickPaintedItem {
    Q_OBJECT
    QML_NAMED_ELEMENT(CountdownBackdrop)
    Q_PROPERTY(QImage image READ image WRITE setImage NOTIFY imageChanged)

  public:
    explicit CountdownBackdropItem(QQuickItem* parent = nullptr);
    const QImage& image() const { return m_image; }
    void setImage(const QImage& image);
    void paint(QPainter* painter) override;

  signals:
    void imageChanged();

  private:
    QImage m_image;
};

}  // namespace setup
