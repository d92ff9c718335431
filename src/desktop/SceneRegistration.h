#pragma once

#include "desktop/WindowControl.h"

#include <QString>
#include <QUrl>

#include <functional>

class QObject;

namespace desktop {

// SceneRegistration: one window of the application, declared by the subsystem that owns it.
struct SceneRegistration {
    QString identifier;
    // A QML Window component.
    QUrl component;
    // Builds the window's logic object, handed to the view as its "model" property and owned by
    // the window. Without a factory the view has no model.
    std::function<QObject*()> makeModel;
    // The sign-in window is an ordinary titled window; every other one floats untitled.
    bool titled = false;
    // Windows that come up beside the trader's trading platform must not take its keyboard.
    bool takesFocus = true;
    // How an untitled window stacks: above ordinary windows, or also on every workspace and out
    // of the taskbar (the windows of a running session).
    WindowLevel level = WindowLevel::floating;
};

// PageRegistration: one page of the main window, declared like a scene.
struct PageRegistration {
    int page = 0;    // a PagesEnum value
    QUrl component;  // a QML Item
    std::function<QObject*()> makeModel;
};

}  // namespace desktop
