#pragma once

#include <QtQml/qqmlregistration.h>
#include <QColor>
#include <QObject>
#include <QVariantList>
#include "desktop/Router.h"

#include <chrono>

namespace setup {

// The start page of the main window: one card that leads to the session preparation. On
// appearing the window slides into the bottom-right corner; resting the pointer on the card
// turns the window's border green.
class StartRecordingScene : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    Q_PROPERTY(bool isHoveringStartSession READ isHoveringStartSession NOTIFY
                   isHoveringStartSessionChanged)
    Q_PROPERTY(bool useGradientWindowBorder READ useGradientWindowBorder NOTIFY
                   useGradientWindowBorderChanged)
    Q_PROPERTY(int cursorShape READ cursorShape NOTIFY cursorShapeChanged)
    Q_PROPERTY(QColor windowBorderColor READ windowBorderColor CONSTANT)
    // Empty while the border is the plain colour.
    Q_PROPERTY(QVariantList windowBorderGradientColors READ windowBorderGradientColors NOTIFY
                   useGradientWindowBorderChanged)
    Q_PROPERTY(int windowBorderFadeDuration READ windowBorderFadeDuration CONSTANT)

  public:
    // The card's size, which is also the window's.
    static constexpr double pageWidth = 234;
    static constexpr double pageHeight = 77;
    // How long the pointer has to rest on the card before the border turns green.
    static constexpr std::chrono::milliseconds hoverDelay{200};

    explicit StartRecordingScene(desktop::Router& router, QObject* parent = nullptr);

    bool isHoveringStartSession() const { return m_isHoveringStartSession; }
    bool useGradientWindowBorder() const { return m_useGradientWindowBorder; }
    int cursorShape() const { return m_cursorShape; }
    QColor windowBorderColor() const;
    QVariantList windowBorderGradientColors() const;
    int windowBorderFadeDuration() const { return 1000; }

    // Each time the page is shown.
    Q_INVOKABLE void onAppear();
    // The pointer entered (true) or left (false) the card.
    Q_INVOKABLE void hoverStartSession(bool entered);
    // A click on the card.
    Q_INVOKABLE void startSession();
    // A drag on the page moves the window.
    Q_INVOKABLE void startWindowDrag();

  signals:
    void isHoveringStartSessionChanged();
    void useGradientWindowBorderChanged();
    void cursorShapeChanged();

  private:
    void setIsHoveringStartSession(bool value);
    void setUseGradientWindowBorder(bool value);
    void setCursorShape(Qt::CursorShape shape);

    desktop::Router& m_router;
    bool m_isHoveringStartSession = false;
    bool m_useGradientWindowBorder = false;
    int m_cursorShape = Qt::ArrowCursor;
};

}  // namespace setup
