#pragma once

#include "ScreenRecorder.h"
#include "desktop/Router.h"

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QQuickWindow>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace setup {

// SelectedSource: the card the trader chose in the source picker. Its raw value travels in
// "SourcePickerDidSelect".
enum class SelectedSource { fullScreen, specificWindow };

QString rawValue(SelectedSource source);
// The card that matches what the recorder holds; none for nothing chosen or an unknown kind.
std::optional<SelectedSource> selectedSourceFor(
    const std::optional<recording::SelectedContentInfo>& content);
// The label's text for what the recorder holds (window title, owning application, display).
QString selectionTitle(const recording::SelectedContentInfo& content);
// The label's symbol for the content's kind.
QString selectionSymbol(const recording::SelectedContentInfo& content);

// SourcePickerScene: the small floating panel that asks "full screen or one window?", hands the
// actual choice to the system content picker through the recorder, and goes away once the
// recorder reports what was chosen.
class SourcePickerScene : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    // The one recorder, for views that bind to its state directly.
    Q_PROPERTY(recording::ScreenRecorder* screenRecorder READ screenRecorder CONSTANT)

    Q_PROPERTY(bool hasSelection READ hasSelection NOTIFY selectionChanged)
    Q_PROPERTY(QString selectionTitle READ selectionTitleText NOTIFY selectionChanged)
    Q_PROPERTY(QString selectionSymbol READ selectionSymbolName NOTIFY selectionChanged)
    Q_PROPERTY(bool fullScreenMarked READ fullScreenMarked NOTIFY selectedSourceChanged)
    Q_PROPERTY(bool specificWindowMarked READ specificWindowMarked NOTIFY selectedSourceChanged)
    Q_PROPERTY(
        bool fullScreenHighlighted READ fullScreenHighlighted NOTIFY fullScreenHighlightedChanged)
    Q_PROPERTY(bool specificWindowHighlighted READ specificWindowHighlighted NOTIFY
                   specificWindowHighlightedChanged)
    Q_PROPERTY(Qt::CursorShape cardCursor READ cardCursor CONSTANT)

  public:
    recording::ScreenRecorder* screenRecorder() const { return m_recorder.get(); }
    static constexpr double panelWidth = 378;
    static constexpr double panelHeight = 280;

    SourcePickerScene(desktop::Router& router, std::shared_ptr<recording::ScreenRecorder> recorder,
                      QObject* parent = nullptr);

    // Where the panel goes beside a reference rectangle (the main window, else the main screen's
    // visible frame): 425 in from its right edge, its bottom edge 120 above the reference's.
    static platform::Rect panelFrame(const platform::Rect& reference, double width, double height);

    std::optional<SelectedSource> selectedSource() const { return m_selectedSource; }
    bool hasSelection() const { return m_recorder->selectedContentInfo().has_value(); }
    QString selectionTitleText() const;
    QString selectionSymbolName() const;
    bool fullScreenMarked() const { return m_selectedSource == SelectedSource::fullScreen; }
    bool specificWindowMarked() const { return m_selectedSource == SelectedSource::specificWindow; }
    bool fullScreenHighlighted() const { return fullScreenMarked() || m_isHoveringFullScreen; }
    bool specificWindowHighlighted() const {
        return specificWindowMarked() || m_isHoveringSpecificWindow;
    }
    // The cards always show the pointing hand; the view sets it while the pointer is over one.
    Qt::CursorShape cardCursor() const { return Qt::PointingHandCursor; }

    // Before the window is first shown: its first frame is its place beside the main window.
    Q_INVOKABLE void configureWindow(QQuickWindow* window);
    Q_INVOKABLE void onAppear();
    Q_INVOKABLE void setHoveringFullScreen(bool hovering);
    Q_INVOKABLE void setHoveringSpecificWindow(bool hovering);
    Q_INVOKABLE void chooseFullScreen() { selectSource(SelectedSource::fullScreen); }
    Q_INVOKABLE void chooseSpecificWindow() { selectSource(SelectedSource::specificWindow); }
    Q_INVOKABLE void close();

  signals:
    void selectionChanged();
    void selectedSourceChanged();
    void fullScreenHighlightedChanged();
    void specificWindowHighlightedChanged();

  private:
    void selectSource(SelectedSource source);
    void recorderSelectionChanged();
    void setSelectedSource(std::optional<SelectedSource> source);
    // Runs a change of the hover flags or the mark and announces each highlight it flipped.
    void changeHighlights(const std::function<void()>& change);
    void placeSourcePickerWindow();
    void placeSourcePickerWindow(QQuickWindow& window);
    static void postDidSelect(SelectedSource source);

    desktop::Router& m_router;
    std::shared_ptr<recording::ScreenRecorder> m_recorder;
    // What the recorder held when last looked at: only a different value is a new choice.
    std::optional<recording::SelectedContentInfo> m_lastContentInfo;
    std::optional<SelectedSource> m_selectedSource;
    bool m_isHoveringFullScreen = false;
    bool m_isHoveringSpecificWindow = false;
};

}  // namespace setup
