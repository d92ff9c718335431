#pragma once

#include <QQmlEngine>

// An engine that knows the session windows' QML module and the application's artwork.
void prepareSessionEngine(QQmlEngine& engine);
