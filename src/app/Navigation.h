#pragma once

#include "platform/DefaultsStore.h"

#include <QObject>
#include <QString>

namespace app {

// The main window's page, kept under "navigationKey" as its text value.
enum class PagesEnum { logout, startSession, prepareSession, endSession };

QString rawValue(PagesEnum page);
// Any text that names no page reads as logout.
PagesEnum pageFromRawValue(const QString& text);

// The persisted page as an observable property; the main window switches on it.
class Navigation : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString page READ pageText WRITE setPageText NOTIFY pageChanged)

public:
    explicit Navigation(platform::DefaultsStore& defaults = platform::DefaultsStore::standard(),
                        QObject* parent = nullptr);

    PagesEnum page() const { return m_page; }
    void setPage(PagesEnum page);
    QString pageText() const { return rawValue(m_page); }
    void setPageText(const QString& text) { setPage(pageFromRawValue(text)); }

signals:
    void pageChanged();

private:
    platform::DefaultsStore& m_defaults;
    PagesEnum m_page;
};

}  // namespace app
