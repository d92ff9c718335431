#include "Navigation.h"

namespace app {

Navigation::Navigation(platform::DefaultsStore& defaults, QObject* parent)
    : QObject(parent),
      m_defaults(defaults),
      m_page(pageFromRawValue(
          QString::fromStdString(defaults.string("navigationKey").value_or("logout")))) {}

void Navigation::setPage(PagesEnum page) {
    m_defaults.setString("navigationKey", rawValue(page).toStdString());
    if (m_page != page) {
        m_page = page;
        emit pageChanged();
    }
}

}  // namespace app
