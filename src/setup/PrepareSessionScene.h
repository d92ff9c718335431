#pragma once

// Qt first: Qt 6.4's moc cannot parse <compare> (pulled in by the platform headers) otherwise.
#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>
#include <QUrl>

#include "ScreenRecorder.h"
#include "desktop/ObserverTokens.h"
#include "desktop/Router.h"
#include "platform/DefaultsStore.h"
#include "platform/ScreenContent.h"

#include <memory>
#include <optional>

namespace setup {

// Where the microphone picker goes beside the main window (the anchor), at the picker's own size:
// 12 to the anchor's right with the bottom edges level, or 12 to its left when it would leave the
// visible frame on the right; then moved back inside the visible frame vertically, the top edge
// winning on a frame too low for it. Without a visible frame it stays where the first rule put it.
platform::Rect microphonePickerFrame(const platform::Rect& anchor, double width, double height,
                                     const std::optional<platform::Rect>& visibleFrame);

// The web application's root for the logo; invalid when the base address makes no URL.
QUrl webApplicationRootURL(const QString& webBaseURL);

// PrepareSessionScene: the preparation page of the main window. It shows the recorder's content
// choice and microphone, opens the two pickers, hands the microphone chosen in its picker to the
// recorder, and leads on to the countdown, the sign-in window or the end of the run.
class PrepareSessionScene : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    // The one recorder, for views that bind to its state directly.
    Q_PROPERTY(recording::ScreenRecorder* screenRecorder READ screenRecorder CONSTANT)

    Q_PROPERTY(bool isHoveringRecording READ isHoveringRecording NOTIFY isHoveringRecordingChanged)
    Q_PROPERTY(bool isHoveringDisplay READ isHoveringDisplay NOTIFY isHoveringDisplayChanged)
    Q_PROPERTY(
        bool isHoveringMicrophone READ isHoveringMicrophone NOTIFY isHoveringMicrophoneChanged)
    Q_PROPERTY(bool isDisplayWindowOpen READ isDisplayWindowOpen NOTIFY isDisplayWindowOpenChanged)
    Q_PROPERTY(
        bool isMicrophoneSelected READ isMicrophoneSelected NOTIFY isMicrophoneSelectedChanged)
    Q_PROPERTY(bool isMicrophoneWindowOpen READ isMicrophoneWindowOpen NOTIFY
                   isMicrophoneWindowOpenChanged)
    Q_PROPERTY(bool showHomeActions READ showHomeActions NOTIFY showHomeActionsChanged)
    Q_PROPERTY(bool isHoveringSignOut READ isHoveringSignOut NOTIFY isHoveringSignOutChanged)
    Q_PROPERTY(bool isHoveringCloseApp READ isHoveringCloseApp NOTIFY isHoveringCloseAppChanged)

    // What the recorder's content choice makes of the page.
    Q_PROPERTY(bool hasValidSelection READ hasValidSelection NOTIFY selectionChanged)
    Q_PROPERTY(QString sourceTitle READ sourceTitle NOTIFY selectionChanged)
    Q_PROPERTY(QString sourceIcon READ sourceIcon NOTIFY selectionChanged)
    Q_PROPERTY(QString sourceIconColor READ sourceIconColor NOTIFY selectionChanged)
    Q_PROPERTY(double startOpacity READ startOpacity NOTIFY selectionChanged)
    Q_PROPERTY(QString startBorderColor READ startBorderColor NOTIFY selectionChanged)
    Q_PROPERTY(double startBorderEndOpacity READ startBorderEndOpacity NOTIFY selectionChanged)
    Q_PROPERTY(int startBorderWidth READ startBorderWidth NOTIFY startBorderWidthChanged)
    Q_PROPERTY(int startCursor READ startCursor NOTIFY isHoveringRecordingChanged)

    // Green borders: a card while it is hovered or its picker is open.
    Q_PROPERTY(bool isSourceCardHighlighted READ isSourceCardHighlighted NOTIFY
                   sourceCardHighlightedChanged)
    Q_PROPERTY(bool isMicrophoneCardHighlighted READ isMicrophoneCardHighlighted NOTIFY
                   microphoneCardHighlightedChanged)

    Q_PROPERTY(QString microphoneTitle READ microphoneTitle NOTIFY microphoneTitleChanged)
    Q_PROPERTY(
        QString microphoneIconColor READ microphoneIconColor NOTIFY isMicrophoneSelectedChanged)
    Q_PROPERTY(QString toggleImage READ toggleImage NOTIFY isMicrophoneSelectedChanged)
    Q_PROPERTY(QString homeIcon READ homeIcon NOTIFY showHomeActionsChanged)
    Q_PROPERTY(int cardCursor READ cardCursor CONSTANT)

  public:
    recording::ScreenRecorder* screenRecorder() const { return m_recorder.get(); }
    PrepareSessionScene(desktop::Router& router,
                        std::shared_ptr<recording::ScreenRecorder> recorder,
                        platform::DefaultsStore& defaults, QString webBaseURL,
                        QObject* parent = nullptr);
    ~PrepareSessionScene() override;

    bool isHoveringRecording() const { return m_isHoveringRecording; }
    bool isHoveringDisplay() const { return m_isHoveringDisplay; }
    bool isHoveringMicrophone() const { return m_isHoveringMicrophone; }
    bool isDisplayWindowOpen() const { return m_isDisplayWindowOpen; }
    bool isMicrophoneSelected() const { return m_isMicrophoneSelected; }
    bool isMicrophoneWindowOpen() const { return m_isMicrophoneWindowOpen; }
    bool showHomeActions() const { return m_showHomeActions; }
    bool isHoveringSignOut() const { return m_isHoveringSignOut; }
    bool isHoveringCloseApp() const { return m_isHoveringCloseApp; }

    bool hasValidSelection() const;
    QString sourceTitle() const;
    QString sourceIcon() const;
    QString sourceIconColor() const;
    double startOpacity() const { return hasValidSelection() ? 1.0 : 0.6; }
    QString startBorderColor() const;
    double startBorderEndOpacity() const { return hasValidSelection() ? 0.8 : 1.0; }
    int startBorderWidth() const { return hasValidSelection() && m_isHoveringRecording ? 2 : 1; }
    int startCursor() const;
    bool isSourceCardHighlighted() const { return m_isHoveringDisplay || m_isDisplayWindowOpen; }
    bool isMicrophoneCardHighlighted() const {
        return m_isMicrophoneWindowOpen || m_isHoveringMicrophone;
    }
    QString microphoneTitle() const;
    QString microphoneIconColor() const;
    QString toggleImage() const;
    QString homeIcon() const;
    int cardCursor() const;

    // The page's view came and went.
    Q_INVOKABLE void onAppear();
    Q_INVOKABLE void onDisappear();

    Q_INVOKABLE void sourceCardTapped();
    Q_INVOKABLE void microphoneCardTapped();
    Q_INVOKABLE void microphoneToggleTapped();
    Q_INVOKABLE void startTapped();
    Q_INVOKABLE void signOutTapped();
    Q_INVOKABLE void closeAppTapped();
    Q_INVOKABLE void logoTapped();
    Q_INVOKABLE void homeTapped();
    // Press-and-drag anywhere on the page moves the main window.
    Q_INVOKABLE void dragStarted();

    Q_INVOKABLE void sourceCardHovered(bool hovering);
    Q_INVOKABLE void microphoneCardHovered(bool hovering);
    Q_INVOKABLE void signOutHovered(bool hovering);
    Q_INVOKABLE void closeAppHovered(bool hovering);
    Q_INVOKABLE void startHovered(bool hovering);

    // Puts the open microphone picker beside the main window; nothing without both windows.
    void placeMicrophonePicker();

  signals:
    void isHoveringRecordingChanged();
    void isHoveringDisplayChanged();
    void isHoveringMicrophoneChanged();
    void isDisplayWindowOpenChanged();
    void isMicrophoneSelectedChanged();
    void isMicrophoneWindowOpenChanged();
    void showHomeActionsChanged();
    void isHoveringSignOutChanged();
    void isHoveringCloseAppChanged();
    void selectionChanged();
    void startBorderWidthChanged();
    void sourceCardHighlightedChanged();
    void microphoneCardHighlightedChanged();
    void microphoneTitleChanged();

  private:
    void setIsHoveringRecording(bool value);
    void setIsHoveringDisplay(bool value);
    void setIsHoveringMicrophone(bool value);
    void setIsDisplayWindowOpen(bool value);
    void setIsMicrophoneSelected(bool value);
    void setIsMicrophoneWindowOpen(bool value);
    void setShowHomeActions(bool value);
    void setIsHoveringSignOut(bool value);
    void setIsHoveringCloseApp(bool value);

    void enterWindow();
    void microphoneWindowDidClose(const QVariantMap& userInfo);
    void sourcePickerWindowDidClose();
    // A picker left open would outlive the page: a microphone chosen in it would reach no one,
    // and the source picker could change the content under the countdown.
    void dismissOpenPickers();

    desktop::Router& m_router;
    std::shared_ptr<recording::ScreenRecorder> m_recorder;
    platform::DefaultsStore& m_defaults;
    QString m_webBaseURL;

    bool m_isHoveringRecording = false;
    bool m_isHoveringDisplay = false;
    bool m_isHoveringMicrophone = false;
    bool m_isDisplayWindowOpen = false;
    bool m_isMicrophoneSelected = false;
    bool m_isMicrophoneWindowOpen = false;
    bool m_showHomeActions = false;
    bool m_isHoveringSignOut = false;
    bool m_isHoveringCloseApp = false;
    bool m_isShown = false;

    // Every observer of the page, the window-will-close ones included, goes with it.
    desktop::ObserverTokens m_observers;
    std::optional<desktop::ObserverTokens::Token> m_sourcePickerObserver;
    std::optional<desktop::ObserverTokens::Token> m_microphoneObserver;
    std::optional<desktop::ObserverTokens::Token> m_sourceSelectionObserver;
};

}  // namespace setup
