#pragma once

// An engine set up as the application sets up its own: the controls style (once per process, as
// it must be before any view loads), the fonts, the "Resources" singleton and the tinted artwork.
#include "desktop/AppResources.h"

#include <QQmlEngine>
#include <QQuickStyle>

inline void prepareAppEngine(QQmlEngine& engine) {
    static const bool styled = [] {
        QQuickStyle::setStyle(QStringLiteral("Basic"));
        return true;
    }();
    (void)styled;
    desktop::AppResources::loadFonts();
    desktop::AppResources::registerQmlTypes();
    desktop::AppResources::installImageProvider(engine);
}
