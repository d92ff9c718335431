#pragma once

#include "desktop/Pages.h"

#include <QString>
#include <QUrl>

class QQuickWindow;

namespace desktop {

// Router: how a window's logic reaches the rest of the application. Windows are named by their
// scene identifier; a window looks up the windows it acts on by that identifier, never as "the
// key window" or "the last window": on X11 focus arrives late and such chains pick the wrong one.
// Main thread only.
class Router {
  public:
    virtual ~Router() = default;

    // Opening an open scene brings its window to the front.
    virtual void openWindow(const QString& identifier) = 0;
    virtual void dismissWindow(const QString& identifier) = 0;
    // The scene's window while it is open; null otherwise (and always in headless tests).
    virtual QQuickWindow* window(const QString& identifier) const = 0;

    // The main window's page, persisted under "navigationKey".
    virtual PagesEnum page() const = 0;
    virtual void setPage(PagesEnum page) = 0;

    // In the default browser.
    virtual void openURL(const QUrl& url) = 0;
    virtual void quit() = 0;
};

}  // namespace desktop
