#pragma once

// Qt first: Qt 6.4's moc cannot parse <compare> (pulled in by the platform headers) otherwise.
#include <QtQml/qqmlregistration.h>
#include <QAbstractListModel>
#include <QColor>
#include <QObject>
#include <QQuickWindow>
#include <QString>

#include "MicrophoneSourcePickerViewModel.h"
#include "desktop/ObserverTokens.h"
#include "desktop/Router.h"
#include "platform/DefaultsStore.h"
#include "platform/ScreenContent.h"

#include <memory>
#include <optional>

namespace setup {

// MicrophoneRows: the picker's rows, one per listed microphone, with what each row shows.
class MicrophoneRows : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")

  public:
    enum Role { MicIdRole = Qt::UserRole + 1, NameRole, IsSelectedRole, IsHighlightedRole };

    explicit MicrophoneRows(QObject* parent = nullptr);

    void setDevices(QList<MicrophoneDevice> devices);
    // The checkmark goes with the selection; the green border with the selection or the pointer.
    void setMarks(const std::optional<QString>& selectedID,
                  const std::optional<QString>& hoveringID);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

  private:
    QList<MicrophoneDevice> m_devices;
    std::optional<QString> m_selectedID;
    std::optional<QString> m_hoveringID;
};

// MicrophonePickerScene: the small floating card that lists the microphones. A click on a row
// stores the device's id, slides the card away and tells the preparation page which microphone
// was chosen; the close button just closes. It never touches the recorder.
class MicrophonePickerScene : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")

    Q_PROPERTY(MicrophoneRows* rows READ rows CONSTANT)
    Q_PROPERTY(bool isEmpty READ isEmpty NOTIFY isEmptyChanged)
    Q_PROPERTY(QString emptyText READ emptyText CONSTANT)
    Q_PROPERTY(QString selectedMicID READ selectedMicIDText NOTIFY selectedMicIDChanged)
    Q_PROPERTY(QString hoveringMicID READ hoveringMicIDText NOTIFY hoveringMicIDChanged)
    Q_PROPERTY(QColor closeButtonColor READ closeButtonColor NOTIFY closeButtonColorChanged)
    Q_PROPERTY(Qt::CursorShape cursorShape READ cursorShape NOTIFY cursorShapeChanged)

  public:
    static constexpr double cardWidth = 378;
    static constexpr double cardHeight = 330;

    MicrophonePickerScene(desktop::Router& router, platform::DefaultsStore& defaults,
                          std::unique_ptr<MicrophoneSourcePickerViewModel> viewModel,
                          QObject* parent = nullptr);

    // Where the picker goes beside a reference rectangle (the main window, else the main
    // screen's visible frame): 425 in from its right edge, its bottom edge 70 above the
    // reference's.
    static platform::Rect pickerFrame(const platform::Rect& reference, double width, double height);

    const MicrophoneSourcePickerViewModel& viewModel() const { return *m_viewModel; }
    MicrophoneRows* rows() { return &m_rows; }
    bool isEmpty() const { return m_viewModel->microphones().isEmpty(); }
    QString emptyText() const { return QStringLiteral("No microphones found"); }
    const std::optional<QString>& selectedMicID() const { return m_selectedMicID; }
    const std::optional<QString>& hoveringMicID() const { return m_hoveringMicID; }
    QString selectedMicIDText() const { return m_selectedMicID.value_or(QString()); }
    QString hoveringMicIDText() const { return m_hoveringMicID.value_or(QString()); }
    QColor closeButtonColor() const { return m_closeButtonColor; }
    Qt::CursorShape cursorShape() const { return m_cursorShape; }

    // Before the window is first shown: its first frame is its place beside the main window.
    Q_INVOKABLE void configureWindow(QQuickWindow* window);
    // The view appeared: mark the stored choice, and place the window on the next turn.
    Q_INVOKABLE void onAppear();
    Q_INVOKABLE void rowClicked(const QString& id);
    Q_INVOKABLE void rowHoverChanged(const QString& id, bool hovering);
    Q_INVOKABLE void closeClicked();
    // A press on the card: the window follows the pointer until the button is released.
    Q_INVOKABLE void dragWindow();

  signals:
    void isEmptyChanged();
    void selectedMicIDChanged();
    void hoveringMicIDChanged();
    void closeButtonColorChanged();
    void cursorShapeChanged();

  private:
    void placeWindow();
    void placeWindow(QQuickWindow& picker);
    void runCloseSequence();
    void finishClosing();
    QVariantMap closeUserInfo() const;
    // The window goes: nothing it observed may reach this object any more.
    void leave();
    void setSelectedMicID(std::optional<QString> id);
    void setHoveringMicID(std::optional<QString> id);
    void setCloseButtonColor(const QColor& color);
    void setCursorShape(Qt::CursorShape shape);
    bool isListed(const QString& id) const;

    desktop::Router& m_router;
    platform::DefaultsStore& m_defaults;
    std::unique_ptr<MicrophoneSourcePickerViewModel> m_viewModel;
    MicrophoneRows m_rows;
    desktop::ObserverTokens m_observers;
    std::optional<QString> m_selectedMicID;
    std::optional<QString> m_hoveringMicID;
    QColor m_closeButtonColor;
    Qt::CursorShape m_cursorShape = Qt::ArrowCursor;
    // Set by the first click that closes the window; later clicks find the window on its way out.
    bool m_isLeaving = false;
};

}  // namespace setup
