#pragma once

// Qt first: Qt 6.4's moc cannot parse <compare> (pulled in by the platform headers) otherwise.
#include <QAbstractListModel>
#include <QString>

#include "platform/CaptureStream.h"

#include <memory>
#include <variant>
#include <vector>

namespace desktop {

struct PickerEntry {
    std::variant<platform::ShareableDisplay, platform::ShareableWindow> content;
    QString name;
    QString detail;     // the application, or a display's resolution
    QString thumbnail;  // an image source for the view; empty until grabbed
};

// Everything the picker window decides: what it lists and how, the selection, and which answer
// its observers hear. The QML view only binds to it.
class ContentPickerModel final : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(QString title READ title CONSTANT)
    Q_PROPERTY(QString emptyText READ emptyText CONSTANT)
    Q_PROPERTY(bool isEmpty READ isEmpty NOTIFY isEmptyChanged)
    Q_PROPERTY(int selectedIndex READ selectedIndex NOTIFY selectedIndexChanged)
    Q_PROPERTY(bool canShare READ canShare NOTIFY selectedIndexChanged)

  public:
    enum Role { NameRole = Qt::UserRole + 1, DetailRole, ThumbnailRole };

    explicit ContentPickerModel(QObject* parent = nullptr);

    // Held weakly; one observer added several times hears each answer once.
    void addObserver(std::weak_ptr<platform::ContentSharingPickerObserver> observer);

    // Lists the mode's content afresh and waits for one answer.
    void begin(platform::ContentSharingPicker::Mode mode,
               std::shared_ptr<const platform::WindowServer> windowServer);
    // Ends the wait without an answer.
    void dismiss();
    void failStart(const platform::CaptureError& error);
    bool isAwaitingAnswer() const { return m_awaitingAnswer; }

    const std::vector<PickerEntry>& entries() const { return m_entries; }
    void setThumbnail(int row, const QString& source);

    QString title() const;
    QString emptyText() const;
    bool isEmpty() const { return m_entries.empty(); }
    int selectedIndex() const { return m_selectedIndex; }
    bool canShare() const { return m_selectedIndex >= 0; }

    Q_INVOKABLE void select(int row);
    Q_INVOKABLE void share();
    Q_INVOKABLE void cancel();

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

  signals:
    void isEmptyChanged();
    void selectedIndexChanged();
    // The wait is over (answered or dismissed): the view goes away.
    void finished();

  private:
    using Observer = platform::ContentSharingPickerObserver;
    void finish();
    // Observers hear it later on the main queue, never inside the view's own click handler.
    void notify(std::function<void(Observer&)> call);
    platform::ContentFilter filterFor(const PickerEntry& entry) const;

    std::vector<std::weak_ptr<Observer>> m_observers;
    std::shared_ptr<const platform::WindowServer> m_windowServer;
    std::vector<PickerEntry> m_entries;
    int m_selectedIndex = -1;
    bool m_awaitingAnswer = false;
};

}  // namespace desktop
