#include "CollectingInformationScene.h"

#include "desktop/WindowControl.h"
#include "desktop/WindowPlacement.h"
#include "platform/AssignIfChanged.h"
#include "platform/Log.h"

#include <QQuickItem>
#include <QQuickWindow>
#include <QTimer>
#include <QUrlQuery>

#include <algorithm>

namespace session {

namespace {

const QString kCollectingWindow = QStringLiteral("CollectingInformationGroup");

QString storedText(const platform::DefaultsStore& defaults, const char* key) {
    return QString::fromStdString(defaults.string(QString::fromLatin1(key)).value_or(""));
}

// The video's page in the web application. The id is one path segment and the cookie one query
// value whatever they hold: a '/', '?', '#', '&', '=' or '+' in them is sent encoded, so neither
// can spill into the rest of the link (a '+' would otherwise reach the server as a blank).
QUrl videoPageURL(QString webBaseURL, const QString& videoID) {
    while (webBaseURL.endsWith(QLatin1Char('/'))) {
        webBaseURL.chop(1);
    }
    return QUrl(webBaseURL + QStringLiteral("/api/trade-log/video/") +
                    QString::fromLatin1(QUrl::toPercentEncoding(videoID)),
                QUrl::StrictMode);
}

void setCookieQuery(QUrl& url, const QString& cookie) {
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("cookie"),
                       QString::fromLatin1(QUrl::toPercentEncoding(cookie)));
    url.setQuery(query);
}

// What the window's content would take: the largest implicit size among its top-level items.
QSizeF fittingSize(const QQuickWindow& window) {
    QSizeF size;
    if (const QQuickItem* content = window.contentItem()) {
        for (const QQuickItem* child : content->childItems()) {
            size = size.expandedTo(QSizeF(child->implicitWidth(), child->implicitHeight()));
        }
    }
    return size;
}

}  // namespace

CollectingInformationScene::CollectingInformationScene(
    desktop::Router& router, std::shared_ptr<recording::ScreenRecorder> recorder,
    platform::DefaultsStore& defaults, QString webBaseURL, QObject* parent)
    : QObject(parent),
      m_router(router),
      m_recorder(std::move(recorder)),
      m_defaults(defaults),
      m_webBaseURL(std::move(webBaseURL)) {
    connect(m_recorder.get(), &recording::ScreenRecorder::isSuccessChanged, this,
            &CollectingInformationScene::updateDisplayState);
    connect(m_recorder.get(), &recording::ScreenRecorder::isShowErrorChanged, this,
            &CollectingInformationScene::isShowErrorChanged);
}

void CollectingInformationScene::updateDisplayState() {
    // The completed card needs both: the upload may succeed before or after the card shrank.
    const DisplayState state = !m_isCompact              ? LargeCollecting
                               : m_recorder->isSuccess() ? Completed
                                                         : CompactCollecting;
    if (m_displayState != state) {
        m_displayState = state;
        emit displayStateChanged();
    }
}

Qt::CursorShape CollectingInformationScene::viewNowCursorShape() const {
    return m_isHoveringViewNow ? Qt::PointingHandCursor : Qt::ArrowCursor;
}

platform::Rect CollectingInformationScene::centeredFrame(const platform::Rect& visibleFrame,
                                                         QSizeF fittingSize) {
    const QSizeF size = fittingSize.expandedTo(largeSize);
    return desktop::centeredFrame(visibleFrame, size.width(), size.height());
}

platform::Rect CollectingInformationScene::compactFrame(const platform::Rect& visibleFrame) {
    return desktop::bottomRightFrame(visibleFrame, compactSize.width(), compactSize.height());
}

void CollectingInformationScene::onAppear() {
    if (!m_pulse) {
        m_pulse = true;
        emit pulseChanged();
    }
    // Both go with this window: a session window closed early leaves nothing behind to move.
    QTimer::singleShot(sizeDelay, this, [this] { sizeCollectingWindow(); });
    QTimer::singleShot(compactDelay, this, &CollectingInformationScene::shrinkToCard);
}

void CollectingInformationScene::configureWindow(QQuickWindow* window) {
    if (window) {
        sizeCollectingWindow(*window);
    }
}

void CollectingInformationScene::sizeCollectingWindow() {
    if (QQuickWindow* window = m_router.window(kCollectingWindow)) {
        sizeCollectingWindow(*window);
    }
}

void CollectingInformationScene::sizeCollectingWindow(QQuickWindow& window) {
    // Leaving the window menu and the saved frames out has no X11 meaning: windows are neither
    // listed by the application nor restored between runs here.
    const QSizeF size = fittingSize(window).expandedTo(largeSize);
    if (const auto visible = desktop::mainScreenVisibleFrame()) {
        desktop::setWindowFrame(window, centeredFrame(*visible, size));
    } else {
        window.resize(size.toSize());
    }
}

void CollectingInformationScene::shrinkToCard() {
    setIsCompact(true);
    if (QQuickWindow* window = m_router.window(kCollectingWindow)) {
        desktop::placeBottomRight(*window, compactSize.width(), compactSize.height(),
                                  /*animated=*/true, compactAnimation);
    }
}

void CollectingInformationScene::setIsCompact(bool value) {
    if (!platform::assignIfChanged(m_isCompact, value)) {
        return;
    }
    emit isCompactChanged();
    updateDisplayState();
}

void CollectingInformationScene::hoverViewNow(bool hovering) {
    if (m_isHoveringViewNow != hovering) {
        m_isHoveringViewNow = hovering;
        emit isHoveringViewNowChanged();
    }
}

void CollectingInformationScene::openUploadedVideo() {
    const QString videoID = storedText(m_defaults, "obtained_video_id");
    if (videoID.isEmpty()) {
        return;
    }
    QUrl url = videoPageURL(m_webBaseURL, videoID);
    // The cookie is added after the line is written: it never reaches the log.
    platform::logLine(("ATRESA za VIDOJE " + url.toString(QUrl::FullyEncoded)).toStdString());
    if (!url.isValid() || url.isEmpty()) {
        return;
    }
    const QString cookie = storedText(m_defaults, "cookie");
    if (!cookie.isEmpty()) {
        setCookieQuery(url, cookie);
    }
    m_router.openURL(url);
}

void CollectingInformationScene::close() {
    m_router.quit();
}

void CollectingInformationScene::confirmError() {
    m_router.setPage(desktop::PagesEnum::logout);
    m_router.quit();
}

void CollectingInformationScene::startWindowDrag() {
    if (QQuickWindow* window = m_router.window(kCollectingWindow)) {
        desktop::startWindowDrag(*window);
    }
}

}  // namespace session
