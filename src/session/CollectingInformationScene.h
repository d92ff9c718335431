#pragma once

#include "ScreenRecorder.h"
#include "desktop/Router.h"
#include "platform/DefaultsStore.h"
#include "platform/ScreenContent.h"

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QQuickWindow>
#include <QSizeF>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

namespace session {

// CollectingInformationScene: the last window of a session. It tells the trader that the data
// is being collected while the recording uploads, shrinks into a card in the corner, and once
// the upload succeeded links to the video in the web application. Its way out quits.
class CollectingInformationScene : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    Q_PROPERTY(bool pulse READ pulse NOTIFY pulseChanged)
    Q_PROPERTY(bool isCompact READ isCompact NOTIFY isCompactChanged)
    Q_PROPERTY(DisplayState displayState READ displayState NOTIFY displayStateChanged)
    Q_PROPERTY(double cardWidth READ cardWidth NOTIFY isCompactChanged)
    Q_PROPERTY(double cardHeight READ cardHeight NOTIFY isCompactChanged)
    Q_PROPERTY(bool isShowError READ isShowError NOTIFY isShowErrorChanged)
    Q_PROPERTY(bool isHoveringViewNow READ isHoveringViewNow NOTIFY isHoveringViewNowChanged)
    Q_PROPERTY(
        Qt::CursorShape viewNowCursorShape READ viewNowCursorShape NOTIFY isHoveringViewNowChanged)

  public:
    // Capitalised: QML reads enum values only when they are.
    enum DisplayState { LargeCollecting, CompactCollecting, Completed };
    Q_ENUM(DisplayState)

    static constexpr QSizeF largeSize{405, 350};
    static constexpr QSizeF compactSize{228, 134};
    static constexpr std::chrono::milliseconds sizeDelay{50};
    static constexpr std::chrono::milliseconds compactDelay{3000};
    static constexpr std::chrono::milliseconds compactAnimation{350};

    CollectingInformationScene(desktop::Router& router,
                               std::shared_ptr<recording::ScreenRecorder> recorder,
                               platform::DefaultsStore& defaults, QString webBaseURL,
                               QObject* parent = nullptr);

    bool pulse() const { return m_pulse; }
    bool isCompact() const { return m_isCompact; }
    DisplayState displayState() const { return m_displayState; }
    double cardWidth() const { return (m_isCompact ? compactSize : largeSize).width(); }
    double cardHeight() const { return (m_isCompact ? compactSize : largeSize).height(); }
    bool isShowError() const { return m_recorder->isShowError(); }
    bool isHoveringViewNow() const { return m_isHoveringViewNow; }
    Qt::CursorShape viewNowCursorShape() const;

    // The large window centred in a visible frame (y down), at least largeSize or the content's
    // fitting size when that is larger.
    static platform::Rect centeredFrame(const platform::Rect& visibleFrame, QSizeF fittingSize);
    // The compact card in the corner of a visible frame (y down).
    static platform::Rect compactFrame(const platform::Rect& visibleFrame);

    // Before the window is first shown: sized and centred, so it never shows anywhere else.
    Q_INVOKABLE void configureWindow(QQuickWindow* window);
    // Starts the timeline: the pulse now, the size shortly, the compact card after a while.
    Q_INVOKABLE void onAppear();
    Q_INVOKABLE void hoverViewNow(bool hovering);
    // Opens the uploaded video in the web application; nothing without a stored video id.
    Q_INVOKABLE void openUploadedVideo();
    Q_INVOKABLE void close();
    // The error alert's only way out: back to the sign-in on the next start, then quit.
    Q_INVOKABLE void confirmError();
    Q_INVOKABLE void startWindowDrag();

  signals:
    void pulseChanged();
    void isCompactChanged();
    void displayStateChanged();
    void isShowErrorChanged();
    void isHoveringViewNowChanged();

  private:
    void sizeCollectingWindow();
    void sizeCollectingWindow(QQuickWindow& window);
    void shrinkToCard();
    void setIsCompact(bool value);
    void updateDisplayState();

    desktop::Router& m_router;
    std::shared_ptr<recording::ScreenRecorder> m_recorder;
    platform::DefaultsStore& m_defaults;
    QString m_webBaseURL;
    bool m_pulse = false;
    bool m_isCompact = false;
    bool m_isHoveringViewNow = false;
    DisplayState m_displayState = LargeCollecting;
};

}  // namespace session
