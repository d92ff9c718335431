#include "Navigation.h"

#include "platform/AssignIfChanged.h"

namespace app {

Navigation::Navigation(platform::DefaultsStore& defaults, QObject* parent)
    : QObject(parent),
      m_defaults(defaults),
      m_page(pageFromRawValue(
          QString::fromStdString(defaults.string("navigationKey").value_or("logout")))) {}

void Navigation::setPage(PagesEnum page) {
    m_defaults.setString("navigationKey", rawValue(page).toStdString());
    if (!platform::assignIfChanged(m_page, page)) {
        return;
    }
    emit pageChanged();
}

}  // namespace app
