#pragma once

#include "desktop/Pages.h"
#include "platform/DefaultsStore.h"

#include <QObject>

namespace app {

using desktop::pageFromRawValue;
using desktop::PagesEnum;
using desktop::rawValue;

// The persisted page as an observable property; the main window switches on it.
class Navigation : public QObject {
    Q_OBJECT
    Q_PROPERTY(desktop::PagesEnum page READ page NOTIFY pageChanged)

  public:
    explicit Navigation(platform::DefaultsStore& defaults = platform::DefaultsStore::standard(),
                        QObject* parent = nullptr);

    PagesEnum page() const { return m_page; }
    // Stored at once, also when the page does not change.
    void setPage(PagesEnum page);

  signals:
    void pageChanged();

  private:
    platform::DefaultsStore& m_defaults;
    PagesEnum m_page;
};

}  // namespace app
