#include "SessionQml.h"

#include "desktop/AppResources.h"

#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(Korvane_SessionPlugin)

void prepareSessionEngine(QQmlEngine& engine) {
    desktop::AppResources::registerQmlTypes();
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    desktop::AppResources::installImageProvider(engine);
}
