#include "desktop/Pages.h"

namespace desktop {

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
    for (const auto page : {PagesEnum::logout, PagesEnum::startSession, PagesEnum::prepareSession,
                            PagesEnum::endSession}) {
        if (rawValue(page) == text) {
            return page;
        }
    }
    return PagesEnum::logout;
}

}  // namespace desktop
