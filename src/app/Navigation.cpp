#include "Navigation.h"

namespace app {

QString rawValue(PagesEnum page) {
    switch (page) {
        case PagesEnum::logout:
            return QStringLiteral("logout");
        case PagesEnum::startSession:
            return QStringLiteral("startSession");
        case PagesEnum::prepareSession:
            return QStringLiteral("prepareSession");
        case PagesEnum::endSession:
            return QStringLiteral("endSession");
    }
    return QStringLiteral("logout");
}

PagesEnum pageFromRawValue(const QString& text) {
    for (const auto page : {PagesEnum::logout, PagesEnum::startSession, PagesEnum::prepareSession, PagesEnum::endSession}) {
        if (rawValue(page) == text) {
            return page;
        }
    }
    return PagesEnum::logout;
}

Navigation::Navigation(platform::DefaultsStore& defaults, QObject* parent)
    : QObject(parent),
      m_defaults(defaults),
      m_page(pageFromRawValue(QString::fromStdString(defaults.string("navigationKey").value_or("logout")))) {}

void Navigation::setPage(PagesEnum page) {
    m_defaults.setString("navigationKey", rawValue(page).toStdString());
    if (m_page != page) {
        m_page = page;
        emit pageChanged();
    }
}

}  // namespace app
