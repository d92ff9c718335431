#pragma once

#include <QQmlEngine>

// An engine that knows the setup windows' QML module and the application's artwork.
void prepareSetupEngine(QQmlEngine& engine);
